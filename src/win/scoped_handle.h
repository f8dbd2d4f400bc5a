// One owner per Windows handle: the handle is closed when its ScopedHandle goes out of scope,
// on every path. A traits type per handle kind says what "no handle" is and how to close one.
#ifndef MIRTO_WIN_SCOPED_HANDLE_H
#define MIRTO_WIN_SCOPED_HANDLE_H

#include <windows.h>

namespace mirto {

template <typename Traits>
class ScopedHandle {
   public:
    using Handle = typename Traits::Handle;

    ScopedHandle() noexcept = default;
    explicit ScopedHandle(Handle handle) noexcept : handle_(handle) {}
    ~ScopedHandle() { reset(); }

    ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.release()) {}
    ScopedHandle& operator=(ScopedHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

    [[nodiscard]] Handle get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return Traits::IsValid(handle_); }

    Handle release() noexcept {
        Handle handle = handle_;
        handle_ = Traits::Invalid();
        return handle;
    }

    void reset(Handle handle = Traits::Invalid()) noexcept {
        if (Traits::IsValid(handle_)) Traits::Close(handle_);
        handle_ = handle;
    }

   private:
    Handle handle_ = Traits::Invalid();
};

// Events and threads: "no handle" is null.
struct KernelHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() noexcept { return nullptr; }
    static bool IsValid(Handle handle) noexcept { return handle != nullptr; }
    static void Close(Handle handle) noexcept { ::CloseHandle(handle); }
};

// Files: CreateFileW reports failure as INVALID_HANDLE_VALUE.
struct FileHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Handle handle) noexcept {
        return handle != INVALID_HANDLE_VALUE && handle != nullptr;
    }
    static void Close(Handle handle) noexcept { ::CloseHandle(handle); }
};

// Directory searches: FindFirstFileW reports failure as INVALID_HANDLE_VALUE.
struct FindHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Handle handle) noexcept {
        return handle != INVALID_HANDLE_VALUE && handle != nullptr;
    }
    static void Close(Handle handle) noexcept { ::FindClose(handle); }
};

using KernelHandle = ScopedHandle<KernelHandleTraits>;
using FileHandle = ScopedHandle<FileHandleTraits>;
using FindHandle = ScopedHandle<FindHandleTraits>;

}  // namespace mirto

#endif  // MIRTO_WIN_SCOPED_HANDLE_H
