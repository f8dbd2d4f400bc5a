// Reports a short session, then waits for a line on standard input before it exits, so the
// reports have time to be delivered.
#include <cstdio>
#include <mirto/mirto.h>

int main() {
    mirto::OnStart(L"consumer-app", L"cmake", L"1.0");
    mirto::SetUser(L"consumer-user", L"");
    mirto::SetLevel(12);
    std::getchar();
    return 0;
}
