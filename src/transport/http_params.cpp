// The request's private body copy and its copy assignment.
#include "transport/http_params.h"

#include <cstring>
#include <utility>

namespace mirto {
namespace {

std::unique_ptr<unsigned char[]> CopyBody(const void* body, std::int32_t length) {
    if (body == nullptr || length <= 0) return nullptr;
    auto copy = std::make_unique<unsigned char[]>(static_cast<std::size_t>(length));
    std::memcpy(copy.get(), body, static_cast<std::size_t>(length));
    return copy;
}

}  // namespace

HttpParams::HttpParams(std::wstring host_name, std::uint16_t port_number, std::wstring path_text,
                       std::wstring header_text, const void* body_bytes,
                       std::int32_t body_byte_count)
    : host(std::move(host_name)),
      port(port_number),
      path(std::move(path_text)),
      headers(std::move(header_text)),
      body(CopyBody(body_bytes, body_byte_count)),
      body_length(body_byte_count) {}

HttpParams& HttpParams::operator=(const HttpParams& other) {
    if (this == &other) return *this;
    body.reset();
    host = other.host;
    port = other.port;
    path = other.path;
    secure = other.secure;
    headers = other.headers;
    body_length = other.body_length;
    body = other.body ? CopyBody(other.body.get(), other.body_length) : nullptr;
    return *this;
}

HttpParams::~HttpParams() = default;

}  // namespace mirto
