// The shared session's count and its one close.
#include "transport/shared_session.h"

#include <atomic>
#include <new>
#include <utility>

namespace mirto {

struct SharedSession::Block {
    explicit Block(HINTERNET session) noexcept : handle(session) {}
    std::atomic<long> holders{1};
    HINTERNET handle;
};

SharedSession SharedSession::Adopt(HINTERNET session) noexcept {
    SharedSession shared;
    if (session == nullptr) return shared;
    shared.block_ = new (std::nothrow) Block(session);
    if (shared.block_ == nullptr) InternetCloseHandle(session);
    return shared;
}

SharedSession::SharedSession(const SharedSession& other) noexcept : block_(other.block_) {
    if (block_ != nullptr) block_->holders.fetch_add(1);
}

SharedSession::SharedSession(SharedSession&& other) noexcept
    : block_(std::exchange(other.block_, nullptr)) {}

SharedSession& SharedSession::operator=(SharedSession other) noexcept {
    std::swap(block_, other.block_);
    return *this;
}

SharedSession::~SharedSession() {
    if (block_ == nullptr || block_->holders.fetch_sub(1) != 1) return;
    InternetCloseHandle(block_->handle);
    delete block_;
}

HINTERNET SharedSession::get() const noexcept {
    return block_ != nullptr ? block_->handle : nullptr;
}

}  // namespace mirto
