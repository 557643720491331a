#include "tools/mkupdate/signing_key.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace mkupdate {
namespace {

template <auto Free>
struct Freer {
    template <typename T>
    void operator()(T* pointer) const {
        Free(pointer);
    }
};
using Key = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY_free>>;
using Bio = std::unique_ptr<BIO, Freer<BIO_free_all>>;
using Number = std::unique_ptr<BIGNUM, Freer<BN_free>>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, Freer<EVP_MD_CTX_free>>;

// libcrypto's own reason for the last failure, after what.
std::string failure(const std::string& what) {
    unsigned long code = ERR_get_error();
    char reason[256] = "";
    if (code != 0) ERR_error_string_n(code, reason, sizeof reason);
    ERR_clear_error();
    return code != 0 ? what + ": " + reason : what;
}

std::optional<Bytes> bigNumberParameter(const EVP_PKEY* key, const char* name) {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &raw) != 1) return std::nullopt;
    Number number(raw);
    Bytes bytes(static_cast<std::size_t>(BN_num_bytes(number.get())));
    BN_bn2bin(number.get(), bytes.data());
    return bytes;
}

std::optional<Bytes> signWith(const std::shared_ptr<EVP_PKEY>& key,
                              std::span<const std::uint8_t> message, std::string* error) {
    DigestContext context(EVP_MD_CTX_new());
    std::size_t length = 0;
    if (!context ||
        EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &length, message.data(), message.size()) != 1) {
        *error = failure("can't sign");
        return std::nullopt;
    }
    Bytes signature(length);
    if (EVP_DigestSign(context.get(), signature.data(), &length, message.data(), message.size()) !=
        1) {
        *error = failure("can't sign");
        return std::nullopt;
    }
    signature.resize(length);
    return signature;
}

// What the passphrase callback learnt: whether the key is encrypted at all, and why it got
// no passphrase. A passphrase typed on the terminal is kept: should libcrypto ask again (it
// tries a file in several formats), the user is not asked twice.
struct PassphraseRequest {
    const std::optional<std::string>* given;
    const std::string* source;
    bool asked = false;
    bool noTerminal = false;
    std::optional<std::string> typed;
};

// Asks on the controlling terminal, never on standard input or output, which may carry an
// image or a key: without a terminal there is nobody to ask, and --passin is the way.
int passphraseCallback(char* buffer, int size, int, void* data) {
    auto* request = static_cast<PassphraseRequest*>(data);
    request->asked = true;
    if (*request->given) request->typed = **request->given;
    if (!request->typed) {
        int terminal = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (terminal < 0) {
            request->noTerminal = true;
            return -1;
        }
        close(terminal);
        std::string prompt = "Enter pass phrase for " + *request->source + ":";
        std::vector<char> typed(1024, '\0');
        if (EVP_read_pw_string(typed.data(), static_cast<int>(typed.size()), prompt.c_str(), 0) !=
            0) {
            OPENSSL_cleanse(typed.data(), typed.size());
            return -1;
        }
        request->typed = std::string(typed.data());
        OPENSSL_cleanse(typed.data(), typed.size());
    }
    const std::size_t length = std::min(request->typed->size(), static_cast<std::size_t>(size));
    std::memcpy(buffer, request->typed->data(), length);
    return static_cast<int>(length);
}

// The private key of input, or nothing with the reason in error: a wrong passphrase and a
// missing one said as such, not as libcrypto's decryption failure.
std::shared_ptr<EVP_PKEY> readPrivateKey(BIO* input, const std::string& source,
                                         const std::optional<std::string>& passphrase,
                                         std::string* error, bool orPublic = false) {
    PassphraseRequest request{&passphrase, &source, false, false, std::nullopt};
    std::shared_ptr<EVP_PKEY> key(
        PEM_read_bio_PrivateKey(input, nullptr, passphraseCallback, &request), EVP_PKEY_free);
    if (key) return key;
    if (request.asked) {
        ERR_clear_error();
        *error = source + (request.noTerminal ? ": encrypted: give --passin"
                                              : ": encrypted: wrong passphrase");
        return nullptr;
    }
    *error = failure(source + (orPublic ? " holds no key in PEM" : " holds no private key in PEM"));
    return nullptr;
}

// The modulus of key when it is one the board's daemon verifies: RSA of 2048 to 4096 bits with
// exponent 65537.
std::optional<Bytes> boardModulus(const EVP_PKEY* key, const std::string& source,
                                  std::string* error) {
    auto modulus = bigNumberParameter(key, OSSL_PKEY_PARAM_RSA_N);
    auto exponent = bigNumberParameter(key, OSSL_PKEY_PARAM_RSA_E);
    const Bytes kExponent{0x01, 0x00, 0x01};
    RsaPublicKey check{};
    if (!EVP_PKEY_is_a(key, "RSA") || !modulus || !exponent || *exponent != kExponent ||
        !makeRsaPublicKey(*modulus, &check)) {
        ERR_clear_error();
        *error = source + " is not an RSA key of 2048 to 4096 bits with exponent 65537";
        return std::nullopt;
    }
    return modulus;
}

}  // namespace

std::optional<std::string> generateKeyPem(int bits, std::string* error) {
    if (bits < static_cast<int>(kRsaMinBits) || bits > static_cast<int>(kRsaMaxBits)) {
        *error = "a key has 2048 to 4096 bits, not " + std::to_string(bits);
        return std::nullopt;
    }
    Key key(EVP_RSA_gen(static_cast<unsigned>(bits)));
    Bio memory(BIO_new(BIO_s_mem()));
    if (!key || !memory ||
        PEM_write_bio_PrivateKey(memory.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) !=
            1) {
        *error = failure("can't make a key");
        return std::nullopt;
    }
    char* data = nullptr;
    long length = BIO_get_mem_data(memory.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

std::optional<SigningKey> loadSigningKey(const std::string& pem, bool fromText, std::string* error,
                                         const std::optional<std::string>& passphrase) {
    Bio input(fromText ? BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()))
                       : BIO_new_file(pem.c_str(), "r"));
    const std::string source = fromText ? std::string("the key") : pem;
    if (!input) {
        *error = failure("can't read " + source);
        return std::nullopt;
    }
    std::shared_ptr<EVP_PKEY> key = readPrivateKey(input.get(), source, passphrase, error);
    if (!key) return std::nullopt;
    auto modulus = boardModulus(key.get(), source, error);
    if (!modulus) return std::nullopt;
    SigningKey signing{*modulus, updateKeyIdOf(*modulus), {}};
    signing.sign = [key](std::span<const std::uint8_t> message, std::string* failed) {
        return signWith(key, message, failed);
    };
    return signing;
}

std::optional<Bytes> loadPublicModulus(const std::string& pem, const std::string& source,
                                       std::string* error,
                                       const std::optional<std::string>& passphrase) {
    // A public key first; its reading must neither prompt nor take the passphrase, so that an
    // encrypted private key is read (and its passphrase asked for) once, below.
    Bio input(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!input) {
        *error = failure("can't read " + source);
        return std::nullopt;
    }
    auto refuse = [](char*, int, int, void*) { return -1; };
    Key publicKey(PEM_read_bio_PUBKEY(input.get(), nullptr, refuse, nullptr));
    ERR_clear_error();
    if (publicKey) return boardModulus(publicKey.get(), source, error);
    Bio again(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    std::shared_ptr<EVP_PKEY> key;
    if (again) key = readPrivateKey(again.get(), source, passphrase, error, true);
    if (!again) *error = failure("can't read " + source);
    if (!key) return std::nullopt;
    return boardModulus(key.get(), source, error);
}

std::optional<std::string> readPassphrase(const std::string& source, std::string* error) {
    auto firstLine = [](std::string text) {
        text = text.substr(0, text.find('\n'));
        if (text.ends_with('\r')) text.pop_back();
        return text;
    };
    auto readAll = [](int fd, std::string* text) {
        char buffer[1024];
        ssize_t got = 0;
        while ((got = read(fd, buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR)) {
            if (got > 0) text->append(buffer, static_cast<std::size_t>(got));
            if (text->find('\n') != std::string::npos) break;
        }
        return got >= 0;
    };
    const std::size_t colon = source.find(':');
    const std::string form = source.substr(0, colon == std::string::npos ? 0 : colon);
    const std::string value = colon == std::string::npos ? "" : source.substr(colon + 1);
    if (form == "pass") return value;
    if (form == "env") {
        const char* text = std::getenv(value.c_str());
        if (text != nullptr) return std::string(text);
        *error = "--passin env:" + value + ": no such variable";
        return std::nullopt;
    }
    if (form == "file" || form == "fd") {
        char* end = nullptr;
        long number = form == "fd" ? std::strtol(value.c_str(), &end, 10) : 0;
        if (form == "fd" && (value.empty() || *end != '\0' || number < 0)) {
            *error = "--passin fd: takes a descriptor's number, not \"" + value + "\"";
            return std::nullopt;
        }
        int fd =
            form == "fd" ? static_cast<int>(number) : open(value.c_str(), O_RDONLY | O_CLOEXEC);
        std::string text;
        bool read = fd >= 0 && readAll(fd, &text);
        if (form == "file" && fd >= 0) close(fd);
        if (read) return firstLine(text);
        *error = "--passin " + source + ": can't read it: " + std::strerror(errno);
        return std::nullopt;
    }
    *error =
        "--passin takes pass:TEXT, env:VARIABLE, file:PATH or fd:NUMBER, not \"" + source + "\"";
    return std::nullopt;
}

}  // namespace mkupdate
