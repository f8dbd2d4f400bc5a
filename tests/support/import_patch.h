// Redirects one imported function of this test program to a stand-in for as long as an
// ImportPatch lives, by rewriting the program's import address table. The library's code that
// a "core" test links in calls the system through that table, so a test can watch or fail a
// system call the library makes (which handles it closes, a wait that fails, memory running
// out) without any seam in the library itself.
#ifndef MIRTO_TESTS_SUPPORT_IMPORT_PATCH_H
#define MIRTO_TESTS_SUPPORT_IMPORT_PATCH_H

#include <windows.h>

namespace mirto_test {

class ImportPatch {
   public:
    // `dll` is matched without regard to case ("WININET.dll"). Fails the test (and patches
    // nothing) when this program does not import `function` from `dll`.
    ImportPatch(const char* dll, const char* function, void* replacement);
    ~ImportPatch();
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;

    // The function the table held before; call it to pass a call through.
    template <typename Function>
    Function original() const {
        return reinterpret_cast<Function>(original_);
    }

   private:
    void** slot_ = nullptr;
    void* original_ = nullptr;
};

}  // namespace mirto_test

#endif  // MIRTO_TESTS_SUPPORT_IMPORT_PATCH_H
