#include "support/h2_peer.h"

#include <nghttp2/nghttp2.h>

#include <algorithm>
#include <cstring>

#include <gtest/gtest.h>

namespace korvo {
namespace test {

namespace {

std::vector<nghttp2_nv> NameValues(H2Fields& fields) {
  std::vector<nghttp2_nv> nva;
  for (auto& [name, value] : fields) {
    nva.push_back(nghttp2_nv{reinterpret_cast<std::uint8_t*>(name.data()),
                             reinterpret_cast<std::uint8_t*>(value.data()), name.size(),
                             value.size(), NGHTTP2_NV_FLAG_NONE});
  }
  return nva;
}

}  // namespace

std::string H2Peer::Stream::Field(std::string_view name) const {
  for (const auto& [field, value] : fields) {
    if (field == name) return value;
  }
  return "";
}

std::size_t H2Peer::Stream::Count(std::string_view name) const {
  return static_cast<std::size_t>(std::count_if(
      fields.begin(), fields.end(), [&](const auto& field) { return field.first == name; }));
}

struct H2Peer::Callbacks {
  static H2Peer& Self(void* user_data) { return *static_cast<H2Peer*>(user_data); }

  static int OnBeginHeaders(nghttp2_session*, const nghttp2_frame* frame, void* user_data) {
    if (frame->hd.type == NGHTTP2_HEADERS && frame->headers.cat == NGHTTP2_HCAT_REQUEST) {
      Self(user_data).streams_[frame->hd.stream_id];
    }
    return 0;
  }

  static int OnHeader(nghttp2_session*, const nghttp2_frame* frame, const std::uint8_t* name,
                      std::size_t name_length, const std::uint8_t* value,
                      std::size_t value_length, std::uint8_t, void* user_data) {
    auto& streams = Self(user_data).streams_;
    auto it = streams.find(frame->hd.stream_id);
    if (it == streams.end()) return 0;
    it->second.fields.emplace_back(
        std::string(reinterpret_cast<const char*>(name), name_length),
        std::string(reinterpret_cast<const char*>(value), value_length));
    return 0;
  }

  static int OnFrameRecv(nghttp2_session*, const nghttp2_frame* frame, void* user_data) {
    if (frame->hd.type == NGHTTP2_GOAWAY) Self(user_data).client_goaway_ = frame->goaway.error_code;
    auto& streams = Self(user_data).streams_;
    auto it = streams.find(frame->hd.stream_id);
    if (it == streams.end()) return 0;
    if ((frame->hd.type == NGHTTP2_HEADERS || frame->hd.type == NGHTTP2_DATA) &&
        (frame->hd.flags & NGHTTP2_FLAG_END_STREAM) != 0) {
      it->second.ended = true;
    }
    if (frame->hd.type == NGHTTP2_RST_STREAM) {
      it->second.reset = true;
      it->second.reset_code = frame->rst_stream.error_code;
    }
    return 0;
  }

  static int OnDataChunk(nghttp2_session* session, std::uint8_t, std::int32_t stream_id,
                         const std::uint8_t* data, std::size_t length, void* user_data) {
    H2Peer& self = Self(user_data);
    auto it = self.streams_.find(stream_id);
    if (it != self.streams_.end()) {
      it->second.body.append(reinterpret_cast<const char*>(data), length);
      if (self.options_.hold_window) {
        it->second.held += length;
        return 0;
      }
    }
    nghttp2_session_consume(session, stream_id, length);
    return 0;
  }

  static int OnStreamClose(nghttp2_session*, std::int32_t stream_id, std::uint32_t,
                           void* user_data) {
    auto& streams = Self(user_data).streams_;
    auto it = streams.find(stream_id);
    if (it != streams.end()) it->second.closed = true;
    return 0;
  }

  static ssize_t ReadBody(nghttp2_session* session, std::int32_t stream_id, std::uint8_t* buffer,
                          std::size_t capacity, std::uint32_t* flags, nghttp2_data_source*,
                          void* user_data) {
    H2Peer& self = Self(user_data);
    auto it = self.outgoing_.find(stream_id);
    if (it == self.outgoing_.end()) return NGHTTP2_ERR_TEMPORAL_CALLBACK_FAILURE;
    Outgoing& out = it->second;
    std::size_t count = std::min(capacity, out.body.size() - out.sent);
    std::memcpy(buffer, out.body.data() + out.sent, count);
    out.sent += count;
    if (out.sent < out.body.size()) return static_cast<ssize_t>(count);
    if (!out.done) return count > 0 ? static_cast<ssize_t>(count) : ssize_t{NGHTTP2_ERR_DEFERRED};
    *flags |= NGHTTP2_DATA_FLAG_EOF;
    if (!out.trailers.empty()) {
      *flags |= NGHTTP2_DATA_FLAG_NO_END_STREAM;
      std::vector<nghttp2_nv> nva = NameValues(out.trailers);
      nghttp2_submit_trailer(session, stream_id, nva.data(), nva.size());
    }
    return static_cast<ssize_t>(count);
  }
};

H2Peer::H2Peer() : H2Peer(Options()) {}

H2Peer::H2Peer(Options options) : options_(std::move(options)) {
  nghttp2_session_callbacks* callbacks = nullptr;
  nghttp2_session_callbacks_new(&callbacks);
  nghttp2_session_callbacks_set_on_begin_headers_callback(callbacks, &Callbacks::OnBeginHeaders);
  nghttp2_session_callbacks_set_on_header_callback(callbacks, &Callbacks::OnHeader);
  nghttp2_session_callbacks_set_on_frame_recv_callback(callbacks, &Callbacks::OnFrameRecv);
  nghttp2_session_callbacks_set_on_data_chunk_recv_callback(callbacks, &Callbacks::OnDataChunk);
  nghttp2_session_callbacks_set_on_stream_close_callback(callbacks, &Callbacks::OnStreamClose);
  nghttp2_option* option = nullptr;
  nghttp2_option_new(&option);
  nghttp2_option_set_no_auto_window_update(option, 1);
  // Big headers are what some tests are about.
  nghttp2_option_set_max_send_header_block_length(option, 4 << 20);
  nghttp2_session_server_new2(&session_, callbacks, this, option);
  nghttp2_option_del(option);
  nghttp2_session_callbacks_del(callbacks);

  std::vector<nghttp2_settings_entry> entries;
  for (const auto& [id, value] : options_.settings) entries.push_back({id, value});
  nghttp2_submit_settings(session_, NGHTTP2_FLAG_NONE, entries.data(), entries.size());
}

H2Peer::~H2Peer() { nghttp2_session_del(session_); }

void H2Peer::Feed(std::string_view bytes) {
  ssize_t result = nghttp2_session_mem_recv(
      session_, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  if (result < 0) ADD_FAILURE() << "the peer cannot read the client: " << nghttp2_strerror(result);
}

void H2Peer::Flush() {
  for (;;) {
    const std::uint8_t* data = nullptr;
    ssize_t length = nghttp2_session_mem_send(session_, &data);
    if (length <= 0) {
      if (length < 0) ADD_FAILURE() << "the peer cannot send: " << nghttp2_strerror(length);
      return;
    }
    output_.append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
  }
}

std::string H2Peer::TakeOutput() {
  Flush();
  return std::exchange(output_, std::string());
}

const H2Peer::Stream* H2Peer::Find(std::int32_t id) const {
  auto it = streams_.find(id);
  return it == streams_.end() ? nullptr : &it->second;
}

void H2Peer::Respond(std::int32_t stream, int status, const H2Fields& fields, std::string body,
                     bool open, H2Fields trailers) {
  H2Fields head{{":status", std::to_string(status)}};
  head.insert(head.end(), fields.begin(), fields.end());
  std::vector<nghttp2_nv> nva = NameValues(head);
  nghttp2_data_provider provider{};
  provider.read_callback = &Callbacks::ReadBody;
  bool has_body = open || !body.empty() || !trailers.empty();
  if (has_body) {
    Outgoing& out = outgoing_[stream];
    out.body = std::move(body);
    out.done = !open;
    out.trailers = std::move(trailers);
  }
  int result = nghttp2_submit_response(session_, stream, nva.data(), nva.size(),
                                       has_body ? &provider : nullptr);
  if (result != 0) ADD_FAILURE() << "the peer cannot respond: " << nghttp2_strerror(result);
}

void H2Peer::AppendBody(std::int32_t stream, std::string_view bytes, bool end) {
  Outgoing& out = outgoing_[stream];
  out.body.append(bytes);
  out.done = end;
  nghttp2_session_resume_data(session_, stream);
}

void H2Peer::Reset(std::int32_t stream, std::uint32_t code) {
  nghttp2_submit_rst_stream(session_, NGHTTP2_FLAG_NONE, stream, code);
}

void H2Peer::Goaway(std::int32_t last_stream, std::uint32_t code, std::string_view debug) {
  nghttp2_submit_goaway(session_, NGHTTP2_FLAG_NONE, last_stream, code,
                        reinterpret_cast<const std::uint8_t*>(debug.data()), debug.size());
}

void H2Peer::Settings(const std::vector<std::pair<std::int32_t, std::uint32_t>>& entries) {
  std::vector<nghttp2_settings_entry> list;
  for (const auto& [id, value] : entries) list.push_back({id, value});
  nghttp2_submit_settings(session_, NGHTTP2_FLAG_NONE, list.data(), list.size());
}

void H2Peer::ReleaseWindow(std::int32_t stream, std::size_t bytes) {
  auto it = streams_.find(stream);
  if (it == streams_.end()) return;
  bytes = std::min(bytes, it->second.held);
  it->second.held -= bytes;
  nghttp2_session_consume(session_, stream, bytes);
}

std::uint32_t H2Peer::ClientSetting(std::int32_t id) const {
  return nghttp2_session_get_remote_settings(session_, static_cast<nghttp2_settings_id>(id));
}

std::int32_t H2Peer::ClientConnectionWindow() const {
  return nghttp2_session_get_remote_window_size(session_);
}

void H2Peer::SendFrame(std::uint8_t type, std::uint8_t flags, std::int32_t stream,
                       std::string_view payload) {
  Flush();
  const std::size_t length = payload.size();
  const char head[9] = {
      static_cast<char>(length >> 16), static_cast<char>(length >> 8), static_cast<char>(length),
      static_cast<char>(type),         static_cast<char>(flags),
      static_cast<char>((stream >> 24) & 0x7f), static_cast<char>(stream >> 16),
      static_cast<char>(stream >> 8),  static_cast<char>(stream)};
  output_.append(head, sizeof(head));
  output_.append(payload);
}

void H2Peer::SendBlock(std::int32_t stream, std::string_view block, bool end_stream,
                       std::size_t fragment) {
  std::uint8_t type = NGHTTP2_HEADERS;
  std::uint8_t flags = end_stream ? NGHTTP2_FLAG_END_STREAM : 0;
  do {
    std::string_view piece = block.substr(0, fragment);
    block.remove_prefix(piece.size());
    SendFrame(type, flags | (block.empty() ? NGHTTP2_FLAG_END_HEADERS : 0), stream, piece);
    type = NGHTTP2_CONTINUATION;
    flags = 0;
  } while (!block.empty());
}

void H2Peer::SendHeaders(std::int32_t stream, const H2Fields& fields, bool end_stream,
                         std::size_t fragment) {
  SendBlock(stream, LiteralBlock(fields), end_stream, fragment);
}

std::string H2Peer::HpackInteger(std::size_t value, int prefix, std::uint8_t first) {
  const std::size_t max = (std::size_t{1} << prefix) - 1;
  std::string out;
  if (value < max) {
    out += static_cast<char>(first | value);
    return out;
  }
  out += static_cast<char>(first | max);
  value -= max;
  while (value >= 128) {
    out += static_cast<char>(0x80 | (value & 0x7f));
    value >>= 7;
  }
  out += static_cast<char>(value);
  return out;
}

std::string H2Peer::LiteralBlock(const H2Fields& fields) {
  std::string block;
  for (const auto& [name, value] : fields) {
    // Literal without indexing, new name (RFC 7541 6.2.2), strings without Huffman.
    block += '\0';
    block += HpackInteger(name.size(), 7, 0);
    block += name;
    block += HpackInteger(value.size(), 7, 0);
    block += value;
  }
  return block;
}

}  // namespace test
}  // namespace korvo
