// HttpVersion: which HTTP a session speaks on the connections it makes.
#ifndef KORVO_HTTP_VERSION_H_
#define KORVO_HTTP_VERSION_H_

namespace korvo {

enum class HttpVersion {
  // HTTP/1.1 everywhere (the default).
  kHttp1,
  // TLS connections offer "h2" and "http/1.1" through ALPN and speak what the server
  // picks; cleartext connections stay HTTP/1.1.
  kHttp2,
  // As kHttp2 over TLS; cleartext connections speak HTTP/2 from their first byte
  // (h2c without upgrade), for servers known to take it.
  kHttp2PriorKnowledge,
};

}  // namespace korvo

#endif  // KORVO_HTTP_VERSION_H_
