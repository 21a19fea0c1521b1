#include "internal/Authorization.h"

#include <openssl/bio.h>
#include <openssl/buffer.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>

namespace zem {
namespace vfs {
namespace http {

namespace {

char const kCnonceAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
std::size_t const kCnonceAlphabetSize = sizeof(kCnonceAlphabet) - 1; // 62

struct BioFree {
    void operator()(BIO *bio) const { BIO_free_all(bio); }
};

bool is_separator(char c) {
    return c == ' ' || c == '\t' || c == ',';
}

// 8 characters of the alphabet, drawn without bias from the TLS library's
// generator (the system's generator should that one fail).
std::string make_cnonce() {
    std::string cnonce;
    unsigned char bytes[32];
    // 248 is the largest multiple of 62 that fits a byte: higher bytes are
    // dropped so that every character is equally likely.
    for (int round = 0; round < 8 && cnonce.size() < 8; ++round) {
        if (RAND_bytes(bytes, sizeof(bytes)) != 1) {
            break;
        }
        for (unsigned char b : bytes) {
            if (b < 248 && cnonce.size() < 8) {
                cnonce += kCnonceAlphabet[b % kCnonceAlphabetSize];
            }
        }
    }
    if (cnonce.size() < 8) {
        std::random_device device;
        std::uniform_int_distribution<std::size_t> pick(0, kCnonceAlphabetSize - 1);
        while (cnonce.size() < 8) {
            cnonce += kCnonceAlphabet[pick(device)];
        }
    }
    return cnonce;
}

} // namespace

std::string md5_hex(std::string const &text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr) != 1) {
        return std::string();
    }
    static char const hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

std::string base64_line(std::string const &bytes) {
    if (bytes.size() > INT_MAX) {
        return std::string();
    }
    std::unique_ptr<BIO, BioFree> mem(BIO_new(BIO_s_mem()));
    if (!mem) {
        return std::string();
    }
    BIO *b64 = BIO_new(BIO_f_base64());
    if (b64 == nullptr) {
        return std::string();
    }
    BIO_set_flags(b64, BIO_FLAGS_BASE64_NO_NL);
    // From here the chain owns the memory buffer: freeing the head frees both.
    std::unique_ptr<BIO, BioFree> chain(BIO_push(b64, mem.release()));
    if (!bytes.empty() && BIO_write(chain.get(), bytes.data(), static_cast<int>(bytes.size())) !=
                              static_cast<int>(bytes.size())) {
        return std::string();
    }
    if (BIO_flush(chain.get()) != 1) {
        return std::string();
    }
    BUF_MEM *buffer = nullptr;
    BIO_get_mem_ptr(chain.get(), &buffer);
    if (buffer == nullptr) {
        return std::string();
    }
    return std::string(buffer->data, buffer->length);
}

CHttpAuthorization::CHttpAuthorization(char const *challenge) {
    if (challenge == nullptr) {
        return;
    }
    std::string const text(challenge);
    std::size_t const n = text.size();
    std::size_t pos = 0;
    while (pos < n) {
        while (pos < n && is_separator(text[pos])) {
            ++pos;
        }
        std::size_t eq = text.find('=', pos);
        if (eq == std::string::npos) {
            break;
        }
        std::string name = text.substr(pos, eq - pos);
        if (name.empty()) {
            break;
        }
        pos = eq + 1;
        while (pos < n && is_separator(text[pos])) {
            ++pos;
        }
        if (pos >= n) {
            break;
        }
        std::string value;
        if (text[pos] == '"') {
            std::size_t close = text.find('"', pos + 1);
            if (close == std::string::npos) {
                break;
            }
            value = text.substr(pos + 1, close - pos - 1);
            pos = close + 1;
            if (pos < n) {
                ++pos; // normally the comma after the closing quote
            }
        } else {
            std::size_t comma = text.find(',', pos);
            if (comma == std::string::npos) {
                comma = n;
            }
            value = text.substr(pos, comma - pos);
            pos = comma;
        }
        params_[name] = value;
    }
}

CHttpAuthorization::~CHttpAuthorization() = default;

CBasicAuthorization::CBasicAuthorization(char const *challenge) : CHttpAuthorization(challenge) {}

std::string CBasicAuthorization::authorization(std::string const &, int, std::string const &user,
                                               std::string const &password) {
    return "Basic " + base64_line(user + ":" + password);
}

CDigestAuthorization::CDigestAuthorization(char const *challenge)
    : CHttpAuthorization(challenge), nonce_count_(0) {
    params_["cnonce"] = make_cnonce();
    params_["qop"] = "auth";
}

std::string CDigestAuthorization::authorization(std::string const &host, int port,
                                                std::string const &user,
                                                std::string const &password) {
    auto param = [this](char const *name) {
        auto it = params_.find(name);
        return it == params_.end() ? std::string() : it->second;
    };
    std::string const realm = param("realm");
    std::string const nonce = param("nonce");
    std::string const cnonce = param("cnonce");
    std::string const qop = param("qop");
    if (realm.empty() || nonce.empty()) {
        return "Fail Dummy";
    }
    std::string const target = host + ":" + std::to_string(port);
    std::string const ha1 = md5_hex(user + ":" + realm + ":" + password);
    params_["uri"] = target;
    std::string const ha2 = md5_hex("CONNECT:" + target);
    ++nonce_count_;
    char nc[16];
    std::snprintf(nc, sizeof(nc), "%08u", nonce_count_);
    std::string const response =
        md5_hex(ha1 + ":" + nonce + ":" + nc + ":" + cnonce + ":" + qop + ":" + ha2);
    params_["response"] = response;

    std::string value = "Digest username=\"" + user + "\",nc=" + nc;
    for (auto const &entry : params_) {
        value += ",";
        value += entry.first;
        value += "=\"";
        value += entry.second;
        value += "\"";
    }
    return value;
}

} // namespace http
} // namespace vfs
} // namespace zem
