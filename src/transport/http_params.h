// One POST request to the collection server, as data: where it goes, its headers and a
// private copy of its body. Made by the delivery for each report and handed to the client's
// attempts (wininet_client.h).
#ifndef MIRTO_TRANSPORT_HTTP_PARAMS_H
#define MIRTO_TRANSPORT_HTTP_PARAMS_H

#include <cstdint>
#include <memory>
#include <string>

namespace mirto {

class HttpParams {
   public:
    HttpParams(std::wstring host, std::uint16_t port, std::wstring path, std::wstring headers,
               const void* body, std::int32_t body_length);
    HttpParams& operator=(const HttpParams& other);
    HttpParams(const HttpParams&) = delete;
    HttpParams(HttpParams&&) noexcept = default;
    ~HttpParams();

    std::wstring host;
    std::uint16_t port;
    std::wstring path;
    bool secure = true;
    std::wstring headers;
    std::unique_ptr<unsigned char[]> body;  // private copy; null when there is none
    std::int32_t body_length;
};

}  // namespace mirto

#endif  // MIRTO_TRANSPORT_HTTP_PARAMS_H
