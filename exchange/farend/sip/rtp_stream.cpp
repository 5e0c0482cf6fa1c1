#include "exchange/farend/sip/rtp_stream.h"

#include <netinet/in.h>

#include <cstring>

namespace exchange {
std::unique_ptr<RtpStream> RtpStream::Open(TimerSource& timers, const struct sa& bind_ip, uint16_t first_port,
                                           uint16_t last_port, std::string* error) {
  std::unique_ptr<RtpStream> stream(new RtpStream());
  stream->timers_ = &timers;
  stream->tick_ = timers.NewTimer();
  sa_init(&stream->remote_, AF_UNSPEC);
  sa_init(&stream->announced_, AF_UNSPEC);
  sa_init(&stream->signalling_, AF_UNSPEC);
  int err = rtp_listen(&stream->socket_, IPPROTO_UDP, &bind_ip, first_port, last_port, false,
                       &RtpStream::OnRtp, nullptr, stream.get());
  if (err != 0) {
    *error = "no RTP port free in " + std::to_string(first_port) + "-" + std::to_string(last_port) + ": " +
             std::strerror(err);
    return nullptr;
  }
  stream->packet_ = mbuf_alloc(RTP_HEADER_SIZE + kRtpFrameSamples);
  if (stream->packet_ == nullptr) {
    *error = "out of memory";
    return nullptr;
  }
  return stream;
}

RtpStream::~RtpStream() {
  mem_deref(socket_);
  mem_deref(packet_);
}

uint16_t RtpStream::local_port() const {
  return sa_port(rtp_local(socket_));
}

void RtpStream::Start(const struct sa& remote, const struct sa* signalling) {
  if (started_) return;
  started_ = true;
  remote_ = remote;
  announced_ = remote;
  if (signalling != nullptr) signalling_ = *signalling;
  clock_.Start(timers_->NowMs());
  tick_->Start(kRtpFrameMs, [this] { OnTick(); });
}

void RtpStream::MoveTo(const struct sa& remote) {
  if (sa_cmp(&remote, &announced_, SA_ALL)) return;
  remote_ = remote;
  announced_ = remote;
  latched_ = false;
}

bool RtpStream::FromPbx(const struct sa* src) const {
  return sa_cmp(src, &announced_, SA_ADDR) ||
         (sa_isset(&signalling_, SA_ADDR) && sa_cmp(src, &signalling_, SA_ADDR));
}

void RtpStream::Stop() {
  started_ = false;
  tick_->Cancel();
}

void RtpStream::OnClientVoice(int64_t sequence, const uint8_t* block) {
  // Voice spoken before the answer has nobody to hear it; buffering it would only delay the conversation.
  if (!started_) return;
  uplink_.Put(sequence, block, timers_->NowMs());
}

bool RtpStream::ReadBlock(uint8_t* block) {
  if (!started_) return false;
  return downlink_.Read(block, timers_->NowMs());
}

void RtpStream::OnRtp(const struct sa* src, const struct rtp_header* header, struct mbuf* mb, void* arg) {
  static_cast<RtpStream*>(arg)->Receive(src, header, mb);
}

void RtpStream::Receive(const struct sa* src, const struct rtp_header* header, struct mbuf* mb) {
  size_t size = mbuf_get_left(mb);
  if (!started_ || header->pt != kPcmaPayloadType || size == 0 || size > kMaxRtpPayload) {
    ++counters_.ignored_in;
    return;
  }
  if (!latched_) {
    if (!FromPbx(src)) {
      ++counters_.ignored_in;
      return;
    }
    remote_ = *src;
    latched_ = true;
  } else if (!sa_cmp(src, &remote_, SA_ALL)) {
    ++counters_.ignored_in;
    return;
  }
  ++counters_.packets_in;
  downlink_.Put(header->seq, header->ts, mbuf_buf(mb), size, timers_->NowMs());
}

void RtpStream::OnTick() {
  const uint64_t now = timers_->NowMs();
  uint32_t timestamp = 0;
  const uint32_t due = clock_.Due(now, &timestamp);
  for (uint32_t i = 0; i < due; ++i)
    SendFrame(timestamp + i * kRtpFrameSamples);
  // Timers fire a millisecond after their delay; the clock keeps to its own schedule all the same.
  tick_->Start(clock_.next_due_ms() - now, [this] { OnTick(); });
}

void RtpStream::SendFrame(uint32_t timestamp) {
  packet_->pos = RTP_HEADER_SIZE;
  packet_->end = RTP_HEADER_SIZE + kRtpFrameSamples;
  bool marker = false;
  UplinkBuffer::Frame frame = uplink_.Get(packet_->buf + RTP_HEADER_SIZE, &marker, timers_->NowMs());
  // The timestamp counts samples of our clock, sent or not, so the PBX sees a gap as a gap.
  if (frame == UplinkBuffer::Frame::kNone || !sending_) return;
  if (frame == UplinkBuffer::Frame::kConcealed) ++counters_.concealed_out;
  if (rtp_send(socket_, &remote_, false, marker, kPcmaPayloadType, timestamp, packet_) == 0) {
    ++counters_.packets_out;
  }
}

SipMediaCounters RtpStream::counters() const {
  SipMediaCounters counters = counters_;
  counters.lost_in = downlink_.stats().lost;
  counters.late_in = downlink_.stats().late;
  counters.client_lost = uplink_.stats().lost;
  counters.client_late = uplink_.stats().late;
  counters.hold_ms = uplink_.stats().hold_ms;
  return counters;
}

}  // namespace exchange
