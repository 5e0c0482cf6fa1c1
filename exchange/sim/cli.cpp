#include "cli.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <optional>
#include <sstream>

namespace exsim {

namespace {

struct Flag {
  const char* name;
  const char* arg;  // nullptr: a switch without value
  const char* help;
  std::function<std::string(const Options&)> default_text;
  // Applies the value; returns an empty string or the reason it is invalid.
  std::function<std::string(const std::string&, CliConfig*)> apply;
};

std::string ParseInt(const std::string& text, long min, long max, int* out) {
  errno = 0;
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || v < min || v > max) {
    return "expected an integer in " + std::to_string(min) + ".." + std::to_string(max) + ", got \"" + text +
           "\"";
  }
  *out = static_cast<int>(v);
  return std::string();
}

std::string ParseDouble(const std::string& text, double min, double max, double* out) {
  errno = 0;
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno != 0 || !(v >= min && v <= max)) {
    std::ostringstream os;
    os << "expected a number in " << min << ".." << max << ", got \"" << text << "\"";
    return os.str();
  }
  *out = v;
  return std::string();
}

std::string Num(double v) {
  std::ostringstream os;
  os << v;
  return os.str();
}

using OptionsInt = int Options::*;
using OptionsBool = bool Options::*;
using OptionsString = std::string Options::*;

Flag IntFlag(const char* name, const char* arg, const char* help, OptionsInt member, long min, long max) {
  return Flag{name, arg, help, [member](const Options& o) { return std::to_string(o.*member); },
              [member, min, max](const std::string& v, CliConfig* c) {
                return ParseInt(v, min, max, &(c->options.*member));
              }};
}

Flag BoolFlag(const char* name, const char* help, OptionsBool member) {
  return Flag{name, nullptr, help,
              [member](const Options& o) { return std::string(o.*member ? "on" : "off"); },
              [member](const std::string&, CliConfig* c) {
                c->options.*member = true;
                return std::string();
              }};
}

Flag StringFlag(const char* name, const char* arg, const char* help, OptionsString member) {
  return Flag{name, arg, help, [member](const Options& o) { return o.*member; },
              [member](const std::string& v, CliConfig* c) {
                c->options.*member = v;
                return std::string();
              }};
}

const std::vector<Flag>& Flags() {
  static const std::vector<Flag> flags = {
      StringFlag("--bind", "ADDR", "IPv4 address every listener binds to", &Options::bind_address),
      IntFlag("--address-port", "PORT", "address server TCP port (0 = any free port)", &Options::address_port,
              0, 65535),
      StringFlag("--phone-ip", "TEXT", "phone server address put in the address reply", &Options::phone_ip),
      IntFlag("--phone-base-port", "PORT", "channel k listens on TCP PORT+2k and UDP PORT+2k+1",
              &Options::phone_base_port, 1, 65535),
      IntFlag("--channels", "N", "number of phone channels", &Options::channels, 1, 64),
      BoolFlag("--silent-address", "accept and read the address query but never reply",
               &Options::silent_address),
      IntFlag("--address-timeout", "MS", "time allowed for the whole 452-byte query",
              &Options::address_timeout_ms, 1, 3600000),
      BoolFlag("--silent-phone", "accept phone connections but never send a tag", &Options::silent_phone),
      IntFlag("--busy", "N", "answer the first N phone connections of a call with {ChanelBusyNow}",
              &Options::busy_channels, 0, 1000),
      BoolFlag("--hello", "send {HELO} before {ChanelWaitBohao}", &Options::hello),
      IntFlag("--udp-port", "PORT", "send {RemoteUDPPort}[PORT] and listen for voice on it (0 = off)",
              &Options::udp_port_override, 0, 65535),
      Flag{"--extra-tag", "TEXT",
           "raw text sent on its own after {ChanelWaitBohao}; repeatable; \\xHH escapes allowed",
           [](const Options& o) {
             std::string out;
             for (const std::string& t : o.extra_tags)
               out += (out.empty() ? "" : " ") + t;
             return out.empty() ? std::string("none") : out;
           },
           [](const std::string& v, CliConfig* c) {
             c->options.extra_tags.push_back(UnescapeArgument(v));
             return std::string();
           }},
      BoolFlag("--extra-tags-after-dial", "send the --extra-tag texts after {BuoHao} instead",
               &Options::extra_tags_after_dial),
      BoolFlag("--refuse", "answer {BuoHao} with {PasswordOrTelphoneNumberFailed}", &Options::refuse),
      BoolFlag("--quality", "answer {BuoHao} with {ZhiLiangCha}", &Options::quality),
      IntFlag("--hangup-after", "MS", "close the phone connection MS after {BuoHao} (-1 = never)",
              &Options::hangup_after_ms, -1, 86400000),
      IntFlag("--tag-gap", "MS", "gap between two tags on one connection", &Options::tag_gap_ms, 0, 60000),
      IntFlag("--first-tag-delay", "MS", "delay between accepting and the first tag",
              &Options::first_tag_delay_ms, 0, 60000),
      Flag{"--voice", "MODE", "far-end voice after {BuoHao}: none, tone or echo",
           [](const Options& o) {
             return std::string(o.voice == VoiceMode::kTone   ? "tone"
                                : o.voice == VoiceMode::kEcho ? "echo"
                                                              : "none");
           },
           [](const std::string& v, CliConfig* c) {
             if (v == "none") {
               c->options.voice = VoiceMode::kNone;
             } else if (v == "tone") {
               c->options.voice = VoiceMode::kTone;
             } else if (v == "echo") {
               c->options.voice = VoiceMode::kEcho;
             } else {
               return "expected none, tone or echo, got \"" + v + "\"";
             }
             return std::string();
           }},
      Flag{"--tone-hz", "HZ", "tone frequency", [](const Options& o) { return Num(o.tone_hz); },
           [](const std::string& v, CliConfig* c) { return ParseDouble(v, 1, 3999, &c->options.tone_hz); }},
      IntFlag("--voice-pace", "MS", "one datagram to the client every MS", &Options::voice_pace_ms, 1, 10000),
      IntFlag("--voice-count", "N", "tone: fall silent after N datagrams (0 = never)", &Options::voice_count,
              0, 2000000000),
      Flag{"--voice-address", "TEXT",
           "address text in server datagrams (default: the client's local address)",
           [](const Options& o) {
             return o.voice_address ? *o.voice_address : std::string("the client's own");
           },
           [](const std::string& v, CliConfig* c) {
             c->options.voice_address = UnescapeArgument(v);
             return std::string();
           }},
      StringFlag("--client-host", "ADDR", "unused: voice goes to the signalling connection's address",
                 &Options::client_host),
      IntFlag("--client-udp-port", "PORT", "voice destination port until a client datagram is seen",
              &Options::client_udp_port, 1, 65535),
      BoolFlag("--hostile", "send garbage on TCP and malformed datagrams plus a flood on UDP",
               &Options::hostile),
      IntFlag("--hostile-flood", "N", "datagrams in the hostile flood", &Options::hostile_flood, 0, 10000000),
      Flag{"--seed", "N", "seed for the hostile random bytes",
           [](const Options& o) { return std::to_string(o.hostile_seed); },
           [](const std::string& v, CliConfig* c) {
             int seed = 0;
             std::string err = ParseInt(v, 0, 2147483647, &seed);
             if (err.empty()) c->options.hostile_seed = static_cast<unsigned>(seed);
             return err;
           }},
      IntFlag("--voice-log-every", "N", "log only every Nth voice datagram", &Options::voice_log_every, 1,
              1000000),
      Flag{"--duration", "SECONDS", "stop by itself after SECONDS (0 = run until SIGINT/SIGTERM)",
           [](const Options&) { return std::string("0"); },
           [](const std::string& v, CliConfig* c) { return ParseDouble(v, 0, 1e9, &c->duration_seconds); }},
  };
  return flags;
}

}  // namespace

bool ParseCommandLine(const std::vector<std::string>& args, CliConfig* config, std::string* error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      config->help = true;
      continue;
    }
    std::string name = arg;
    std::optional<std::string> value;
    size_t eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
    }
    const Flag* flag = nullptr;
    for (const Flag& f : Flags()) {
      if (name == f.name) flag = &f;
    }
    if (flag == nullptr) {
      *error = "unknown option \"" + arg + "\"";
      return false;
    }
    if (flag->arg == nullptr) {
      if (value) {
        *error = name + " takes no value";
        return false;
      }
    } else if (!value) {
      if (i + 1 >= args.size()) {
        *error = name + " needs a value (" + flag->arg + ")";
        return false;
      }
      value = args[++i];
    }
    std::string problem = flag->apply(value.value_or(""), config);
    if (!problem.empty()) {
      *error = name + ": " + problem;
      return false;
    }
  }
  return true;
}

std::string Usage(std::string_view program) {
  std::ostringstream os;
  os << "Usage: " << program << " [options]\n"
     << "Stands in on loopback for the address server and the phone server of the voice-call client.\n"
     << "Logs every event to stdout until SIGINT/SIGTERM (or --duration).\n\nOptions:\n";
  Options defaults;
  for (const Flag& f : Flags()) {
    std::string left = std::string("  ") + f.name + (f.arg ? std::string(" ") + f.arg : std::string());
    if (left.size() < 30) left.resize(30, ' ');
    os << left << " " << f.help << " [default: " << f.default_text(defaults) << "]\n";
  }
  std::string help = "  -h, --help";
  help.resize(30, ' ');
  os << help << " show this text\n";
  return os.str();
}

std::string UnescapeArgument(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '\\') {
      out.push_back('\\');
      ++i;
    } else if (text[i] == '\\' && i + 3 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
               std::isxdigit(static_cast<unsigned char>(text[i + 2])) &&
               std::isxdigit(static_cast<unsigned char>(text[i + 3]))) {
      out.push_back(static_cast<char>(std::stoi(std::string(text.substr(i + 2, 2)), nullptr, 16)));
      i += 3;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

}  // namespace exsim
