// The request object: it owns a private copy of its body, copies assign a fresh copy, and
// a delivery without an internet session returns at once without touching the network
// (watched through this program's import table).
#include "transport/http_params.h"

#include <windows.h>

#include <wininet.h>

#include <cstring>
#include <gtest/gtest.h>
#include <string>

#include "core/delivery.h"
#include "support/import_patch.h"

namespace {

using mirto::HttpParams;

int attempts_seen = 0;

HINTERNET WINAPI CountingConnect(HINTERNET, LPCWSTR, INTERNET_PORT, LPCWSTR, LPCWSTR, DWORD, DWORD,
                                 DWORD_PTR) {
    ++attempts_seen;
    SetLastError(ERROR_INTERNET_CANNOT_CONNECT);
    return nullptr;
}

TEST(HttpParams, KeepsAPrivateCopyOfTheBody) {
    char body[] = "%7b%7d";
    const HttpParams request(L"localhost", 443, L"/event", L"Content-Type: x", body, 6);
    body[0] = 'X';  // the caller's buffer may change or go away after construction
    ASSERT_NE(request.body, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(request.body.get()), 6), "%7b%7d");
    EXPECT_EQ(request.body_length, 6);
    EXPECT_TRUE(request.secure);
    EXPECT_EQ(request.port, 443);
}

TEST(HttpParams, NoBodyBlockForAnEmptyOrMissingBody) {
    const HttpParams empty(L"h", 443, L"/event", L"", "abc", 0);
    EXPECT_EQ(empty.body, nullptr);
    EXPECT_EQ(empty.body_length, 0);
    const HttpParams missing(L"h", 443, L"/event", L"", nullptr, 5);
    EXPECT_EQ(missing.body, nullptr);
    EXPECT_EQ(missing.body_length, 5);  // stored even without a copy
}

TEST(HttpParams, CopyAssignmentMakesAFreshCopyOrNone) {
    const HttpParams source(L"collector.test", 8443, L"/identify", L"A: b", "xyz", 3);
    HttpParams target(L"h", 443, L"/event", L"", "old body", 8);
    target = source;
    EXPECT_EQ(target.host, L"collector.test");
    EXPECT_EQ(target.port, 8443);
    EXPECT_EQ(target.path, L"/identify");
    EXPECT_EQ(target.headers, L"A: b");
    ASSERT_NE(target.body, nullptr);
    EXPECT_NE(target.body.get(), source.body.get());
    EXPECT_EQ(std::memcmp(target.body.get(), "xyz", 3), 0);

    const HttpParams bodiless(L"h", 443, L"/event", L"", nullptr, 7);
    target = bodiless;
    EXPECT_EQ(target.body, nullptr);
    EXPECT_EQ(target.body_length, 7);

    HttpParams self(L"s", 443, L"/event", L"", "keep", 4);
    const unsigned char* before = self.body.get();
    HttpParams& alias = self;
    self = alias;
    EXPECT_EQ(self.body.get(), before);
    EXPECT_EQ(std::memcmp(self.body.get(), "keep", 4), 0);
}

TEST(HttpParams, SendWithoutASessionMakesNoAttempt) {
    mirto::Delivery delivery;
    ASSERT_EQ(delivery.connected(), false);
    const mirto_test::ImportPatch patch("wininet.dll", "InternetConnectW",
                                        reinterpret_cast<void*>(&CountingConnect));
    const HttpParams request(L"localhost", 443, L"/event", L"", "x", 1);
    EXPECT_FALSE(delivery.Deliver(request));
    EXPECT_EQ(attempts_seen, 0);
}

}  // namespace
