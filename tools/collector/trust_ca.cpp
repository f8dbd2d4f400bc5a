// trust_ca: adds a certificate to the machine's trusted root store.
//
//   trust_ca.exe CERTIFICATE_FILE
//
// The file holds one certificate, PEM ("-----BEGIN CERTIFICATE-----") or DER.
// It goes into the LOCAL_MACHINE "ROOT" system store, replacing an identical
// entry, so running it twice is harmless. Used by the tests to make a test CA
// trusted inside a private Wine prefix; it needs no privileges there.
//
// Exit status: 0 added, 1 usage, 2 cannot read the file, 3 not a certificate,
// 4 cannot open the store, 5 cannot add the certificate.

#include <windows.h>

#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

void PrintError(const char* what) {
    DWORD code = GetLastError();
    std::fprintf(stderr, "trust_ca: %s (error %lu, 0x%08lx)\n", what,
                 static_cast<unsigned long>(code), static_cast<unsigned long>(code));
}

bool ReadWholeFile(const char* path, std::vector<BYTE>& data) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool LooksLikePem(const std::vector<BYTE>& data) {
    static const char kMarker[] = "-----BEGIN";
    const size_t marker_len = sizeof(kMarker) - 1;
    if (data.size() < marker_len) return false;
    for (size_t i = 0; i + marker_len <= data.size(); ++i) {
        if (std::memcmp(&data[i], kMarker, marker_len) == 0) return true;
    }
    return false;
}

// Turns PEM text into the DER bytes of its first block.
bool PemToDer(const std::vector<BYTE>& pem, std::vector<BYTE>& der) {
    const char* text = reinterpret_cast<const char*>(pem.data());
    const DWORD text_len = static_cast<DWORD>(pem.size());
    DWORD size = 0;
    if (!CryptStringToBinaryA(text, text_len, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr,
                              nullptr) ||
        size == 0) {
        return false;
    }
    der.resize(size);
    if (!CryptStringToBinaryA(text, text_len, CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr,
                              nullptr)) {
        return false;
    }
    der.resize(size);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: trust_ca CERTIFICATE_FILE (PEM or DER)\n");
        return 1;
    }
    const char* path = argv[1];

    std::vector<BYTE> file;
    if (!ReadWholeFile(path, file) || file.empty()) {
        std::fprintf(stderr, "trust_ca: cannot read %s\n", path);
        return 2;
    }

    std::vector<BYTE> der;
    if (LooksLikePem(file)) {
        if (!PemToDer(file, der)) {
            PrintError("no PEM certificate could be decoded");
            return 3;
        }
    } else {
        der.swap(file);
    }

    // Parse first, so that a bad file is told apart from a store problem.
    PCCERT_CONTEXT parsed = CertCreateCertificateContext(
        X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    if (parsed == nullptr) {
        PrintError("the file holds no valid certificate");
        return 3;
    }
    char subject[512] = {};
    CertGetNameStringA(parsed, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, subject, sizeof(subject));
    CertFreeCertificateContext(parsed);

    HCERTSTORE store =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT");
    if (store == nullptr) {
        PrintError("cannot open the LOCAL_MACHINE ROOT store");
        return 4;
    }

    PCCERT_CONTEXT added = nullptr;
    const BOOL ok = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                     der.data(), static_cast<DWORD>(der.size()),
                                                     CERT_STORE_ADD_REPLACE_EXISTING, &added);
    if (!ok) {
        PrintError("cannot add the certificate to the ROOT store");
        CertCloseStore(store, 0);
        return 5;
    }
    CertFreeCertificateContext(added);
    if (!CertCloseStore(store, 0)) {
        PrintError("closing the ROOT store failed");
        return 5;
    }

    std::printf("trust_ca: added \"%s\" to LOCAL_MACHINE\\ROOT\n", subject);
    return 0;
}
