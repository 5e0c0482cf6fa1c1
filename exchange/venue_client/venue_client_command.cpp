#include "exchange/venue_client/venue_client_command.h"

#include <sys/stat.h>

#include <cstdio>
#include <optional>

#include "exchange/venue_client/code_signing.h"
#include "exchange/venue_client/output_folder.h"
#include "exchange/venue_client/venue_copy.h"

namespace venue_client {
namespace {

constexpr int kDone = 0, kRefused = 1, kUsage = 2;

struct Request {
  bool help = false, version = false;
  std::optional<std::string> show, address, home_page, output, sign, password_file;
  std::vector<std::string> inputs;
};

// Options take their value as the next argument or after '='.
bool Parse(const std::vector<std::string>& args, Request* request, std::string* problem) {
  const std::pair<const char*, std::optional<std::string> Request::*> valued[] = {
      {"--show", &Request::show},           {"--address", &Request::address},
      {"--home-page", &Request::home_page}, {"--output", &Request::output},
      {"--sign", &Request::sign},           {"--password-file", &Request::password_file}};
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      request->help = true;
      continue;
    }
    if (arg == "--version") {
      request->version = true;
      continue;
    }
    if (arg.empty() || arg[0] != '-') {
      request->inputs.push_back(arg);
      continue;
    }
    bool known = false;
    for (const auto& [name, field] : valued) {
      std::string prefix = std::string(name) + "=";
      if (arg == name) {
        if (i + 1 == args.size()) {
          *problem = std::string(name) + " needs a value";
          return false;
        }
        request->*field = args[++i];
      } else if (arg.compare(0, prefix.size(), prefix) == 0) {
        request->*field = arg.substr(prefix.size());
      } else {
        continue;
      }
      known = true;
      break;
    }
    if (!known) {
      *problem = "unknown option " + arg;
      return false;
    }
  }
  return true;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

int Show(const std::string& path, std::ostream& out, std::ostream& err) {
  std::string bytes, problem;
  ClientImage client;
  if (!ReadWholeFile(path, &bytes, &problem)) {
    err << "pelvarine-client: " << problem << "\n";
    return kRefused;
  }
  if (!LoadClient(std::move(bytes), &client, &problem)) {
    err << "pelvarine-client: " << path << " " << problem << "\n";
    return kRefused;
  }
  VenueSettings settings = ReadSettings(client);
  uint32_t stored = StoredChecksum(client.bytes, client.pe.checksum_offset);
  uint32_t computed = PeChecksum(client.bytes, client.pe.checksum_offset);
  out << "address server: " << settings.address << " (TCP 32765)\n"
      << "home page: " << settings.home_page << "\n"
      << "PE checksum: " << Hex(stored)
      << (stored == computed ? " (right)" : " (wrong: " + Hex(computed) + ")") << "\n"
      << "signature: "
      << (client.pe.certificate_size == 0 ? "none" : "present (check it with osslsigncode verify)") << "\n";
  return kDone;
}

int Stamp(const Request& request, std::ostream& out, std::ostream& err) {
  const std::string& input = request.inputs[0];
  const std::string& output = *request.output;
  std::string bytes, problem;
  ClientImage client;
  if (!ReadWholeFile(input, &bytes, &problem)) {
    err << "pelvarine-client: " << problem << "\n";
    return kRefused;
  }
  if (!LoadClient(std::move(bytes), &client, &problem)) {
    err << "pelvarine-client: " << input << " " << problem << "\n";
    return kRefused;
  }
  VenueSettings settings = ReadSettings(client);
  if (request.address) settings.address = *request.address;
  if (request.home_page) settings.home_page = *request.home_page;
  if (!StampSettings(&client, settings, &problem)) {
    err << "pelvarine-client: " << problem << "\n";
    return kRefused;
  }
  if (SameFile(input, output)) {
    err << "pelvarine-client: the output is the input itself; the input is never changed: write the venue's "
           "copy to another file\n";
    return kRefused;
  }
  OutputFolder folder;
  if (!folder.Open(output, &problem) || !folder.Write("stamped.exe", client.bytes, &problem)) {
    err << "pelvarine-client: cannot write " << output << ": " << problem << "\n";
    return kRefused;
  }
  std::string final_name = "stamped.exe";
  if (request.sign) {
    SigningRequest signing{*request.sign, *request.password_file};
    if (!SignExecutable(signing, folder.Path("stamped.exe"), folder.Path("signed.exe"),
                        folder.Path("osslsigncode.log"), &problem)) {
      err << "pelvarine-client: " << problem << "\n";
      return kRefused;
    }
    final_name = "signed.exe";
  }
  if (!folder.Commit(final_name, &problem)) {
    err << "pelvarine-client: cannot write " << output << ": " << problem << "\n";
    return kRefused;
  }
  out << output << ": calls " << settings.address << ", home page " << settings.home_page
      << (request.sign ? ", signed" : "") << "\n";
  return kDone;
}

}  // namespace

std::string UsageText() {
  return "Usage:\n"
         "  pelvarine-client --address ADDR [--home-page HOST] [--sign CERT.pfx --password-file FILE]\n"
         "                   --output FILE CLIENT.exe\n"
         "  pelvarine-client --show CLIENT.exe\n"
         "\n"
         "Writes a venue's copy of the Windows client: the address server it calls (ADDR: IPv4 dotted text\n"
         "or a host name, which the client resolves when it calls; at most 63 characters) and the host its\n"
         "home-page button opens (at most 127 characters). Either may be left out to keep the input's.\n"
         "The input is never changed; the output appears whole or not at all, with its PE checksum right.\n"
         "\n"
         "  --address ADDR         the address server (TCP 32765)\n"
         "  --home-page HOST       the home-page host\n"
         "  --output FILE          the venue's copy to write (replaced if it exists)\n"
         "  --sign CERT.pfx        sign the copy (Authenticode, SHA-256) with osslsigncode after stamping\n"
         "  --password-file FILE   the .pfx's password, on the first line (needed with --sign)\n"
         "  --show CLIENT.exe      print what a client calls, its checksum and whether it is signed\n"
         "  --help, --version\n";
}

int RunVenueClientCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  Request request;
  std::string problem;
  auto usage = [&](const std::string& why) {
    err << "pelvarine-client: " << why << "\n" << UsageText();
    return kUsage;
  };
  if (!Parse(args, &request, &problem)) return usage(problem);
  if (request.help) {
    out << UsageText();
    return kDone;
  }
  if (request.version) {
    out << "pelvarine-client " << PELVARINE_VERSION << "\n";
    return kDone;
  }
  if (request.show) {
    if (request.address || request.home_page || request.output || request.sign || !request.inputs.empty())
      return usage("--show takes only the client to show");
    return Show(*request.show, out, err);
  }
  if (request.inputs.size() != 1) return usage("name exactly one client to copy");
  if (!request.output) return usage("--output is needed: the input is never changed");
  if (!request.address && !request.home_page && !request.sign)
    return usage("nothing to change: give --address, --home-page or --sign");
  if (request.sign.has_value() != request.password_file.has_value())
    return usage("--sign and --password-file go together");
  return Stamp(request, out, err);
}

}  // namespace venue_client
