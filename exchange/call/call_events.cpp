#include "exchange/call/call_events.h"

namespace exchange {

std::string FarEndFiguresSuffix(const CallSummary& summary) {
  return summary.far_end_counters.empty() ? std::string() : "; far end: " + summary.far_end_counters;
}

const char* ViaName(CallVia via) {
  return via == CallVia::kWeb ? "web" : "client";
}

const char* KindName(ExchangeEvent::Kind kind) {
  switch (kind) {
    case ExchangeEvent::Kind::Started:
      return "Started";
    case ExchangeEvent::Kind::Stopped:
      return "Stopped";
    case ExchangeEvent::Kind::Error:
      return "Error";
    case ExchangeEvent::Kind::AddressConnected:
      return "AddressConnected";
    case ExchangeEvent::Kind::AddressQueryOk:
      return "AddressQueryOk";
    case ExchangeEvent::Kind::AddressQueryMalformed:
      return "AddressQueryMalformed";
    case ExchangeEvent::Kind::AddressReplySent:
      return "AddressReplySent";
    case ExchangeEvent::Kind::AddressClosed:
      return "AddressClosed";
    case ExchangeEvent::Kind::ConnectionRefused:
      return "ConnectionRefused";
    case ExchangeEvent::Kind::ChannelAccepted:
      return "ChannelAccepted";
    case ExchangeEvent::Kind::TagSent:
      return "TagSent";
    case ExchangeEvent::Kind::LocalAddressReceived:
      return "LocalAddressReceived";
    case ExchangeEvent::Kind::DialReceived:
      return "DialReceived";
    case ExchangeEvent::Kind::DialRefused:
      return "DialRefused";
    case ExchangeEvent::Kind::QualityRequestReceived:
      return "QualityRequestReceived";
    case ExchangeEvent::Kind::GarbageReceived:
      return "GarbageReceived";
    case ExchangeEvent::Kind::FarEndStarted:
      return "FarEndStarted";
    case ExchangeEvent::Kind::FarEndAnswered:
      return "FarEndAnswered";
    case ExchangeEvent::Kind::FarEndTryingNext:
      return "FarEndTryingNext";
    case ExchangeEvent::Kind::FarEndEnded:
      return "FarEndEnded";
    case ExchangeEvent::Kind::ClientClosed:
      return "ClientClosed";
    case ExchangeEvent::Kind::ServerClosed:
      return "ServerClosed";
    case ExchangeEvent::Kind::VoiceReceived:
      return "VoiceReceived";
    case ExchangeEvent::Kind::VoiceLatched:
      return "VoiceLatched";
    case ExchangeEvent::Kind::VoiceStarted:
      return "VoiceStarted";
    case ExchangeEvent::Kind::VoiceSent:
      return "VoiceSent";
    case ExchangeEvent::Kind::VoiceStopped:
      return "VoiceStopped";
    case ExchangeEvent::Kind::CallEnded:
      return "CallEnded";
    case ExchangeEvent::Kind::WebMedia:
      return "WebMedia";
  }
  return "Unknown";
}

}  // namespace exchange
