#include "smtp/sasl.hpp"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <array>
#include <cstdint>

namespace vantrel::smtp {

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

class Password : public Mechanism {
public:
    Password(std::string_view user, std::string_view password) : user_(user), password_(password) {}

protected:
    std::string user_;
    std::string password_;
};

// RFC 4616: one initial response, "\0user\0password".
class Plain final : public Password {
public:
    using Password::Password;
    std::string_view name() const noexcept override { return "PLAIN"; }
    std::optional<std::string> initial() override {
        std::string response;
        response.reserve(user_.size() + password_.size() + 2);
        response.push_back('\0');
        response += user_;
        response.push_back('\0');
        response += password_;
        return response;
    }
    std::optional<std::string> respond(std::string_view) override { return initial(); }
};

// The user as the initial response, then the password for every challenge
// after, as smtplib answers (the challenges' words vary between servers).
class Login final : public Password {
public:
    using Password::Password;
    std::string_view name() const noexcept override { return "LOGIN"; }
    std::optional<std::string> initial() override {
        sent_user_ = true;
        return user_;
    }
    std::optional<std::string> respond(std::string_view) override {
        if (!sent_user_) return initial();
        return password_;
    }

private:
    bool sent_user_ = false;
};

// RFC 2195: the user and the hex HMAC-MD5 of the challenge, keyed with the
// password.
class CramMd5 final : public Password {
public:
    using Password::Password;
    std::string_view name() const noexcept override { return "CRAM-MD5"; }
    std::optional<std::string> initial() override { return std::nullopt; }
    std::optional<std::string> respond(std::string_view challenge) override {
        std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
        unsigned int length = 0;
        // MD5 is missing from a FIPS-only library: the exchange is cancelled
        // and the next mechanism tried.
        if (!HMAC(EVP_md5(), password_.data(), static_cast<int>(password_.size()),
                  reinterpret_cast<const unsigned char*>(challenge.data()), challenge.size(),
                  digest.data(), &length)) {
            return std::nullopt;
        }
        constexpr char hex[] = "0123456789abcdef";
        std::string response = user_;
        response.push_back(' ');
        for (unsigned int i = 0; i < length; ++i) {
            response.push_back(hex[digest[i] >> 4]);
            response.push_back(hex[digest[i] & 15]);
        }
        return response;
    }
};

// XOAUTH2 and OAUTHBEARER: the token in the initial response; the failure
// flow's challenge is answered once, and nothing more is offered.
class BearerToken final : public Mechanism {
public:
    BearerToken(Bearer kind, std::string_view user, std::string_view token, std::string_view host,
                unsigned port)
        : kind_(kind), user_(user), token_(token), host_(host), port_(port) {}
    std::string_view name() const noexcept override {
        return kind_ == Bearer::XOAuth2 ? "XOAUTH2" : "OAUTHBEARER";
    }
    std::optional<std::string> initial() override {
        std::string response;
        if (kind_ == Bearer::XOAuth2) {
            response = "user=" + user_ +
                       "\x01"
                       "auth=Bearer " +
                       token_ + "\x01\x01";
        } else {
            // The GS2 header names the user; "," and "=" in it are escaped.
            response = "n,a=";
            for (char c : user_) {
                if (c == ',')
                    response += "=2C";
                else if (c == '=')
                    response += "=3D";
                else
                    response += c;
            }
            response += ",\x01";
            if (!host_.empty()) response += "host=" + host_ + "\x01";
            if (port_ != 0) response += "port=" + std::to_string(port_) + "\x01";
            response += "auth=Bearer " + token_ + "\x01\x01";
        }
        return response;
    }
    std::optional<std::string> respond(std::string_view) override {
        if (answered_) return std::nullopt; // a second challenge: cancel
        answered_ = true;
        return kind_ == Bearer::XOAuth2 ? std::string() : std::string("\x01");
    }

private:
    Bearer kind_;
    std::string user_;
    std::string token_;
    std::string host_;
    unsigned port_;
    bool answered_ = false;
};

} // namespace

std::unique_ptr<Mechanism> bearer_mechanism(Bearer kind, std::string_view user,
                                            std::string_view token, std::string_view host,
                                            unsigned port) {
    return std::make_unique<BearerToken>(kind, user, token, host, port);
}

std::vector<std::unique_ptr<Mechanism>> password_mechanisms(std::string_view user,
                                                            std::string_view password) {
    std::vector<std::unique_ptr<Mechanism>> mechanisms;
    mechanisms.push_back(std::make_unique<CramMd5>(user, password));
    mechanisms.push_back(std::make_unique<Plain>(user, password));
    mechanisms.push_back(std::make_unique<Login>(user, password));
    return mechanisms;
}

void base64_encode(std::string_view data, std::string& out) {
    out.reserve(out.size() + (data.size() + 2) / 3 * 4);
    std::size_t i = 0;
    auto byte = [&](std::size_t k) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(data[k]));
    };
    for (; i + 3 <= data.size(); i += 3) {
        const std::uint32_t v = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
        for (int shift : {18, 12, 6, 0})
            out.push_back(alphabet[(v >> shift) & 63]);
    }
    if (i < data.size()) {
        std::uint32_t v = byte(i) << 16;
        if (i + 1 < data.size()) v |= byte(i + 1) << 8;
        out.push_back(alphabet[(v >> 18) & 63]);
        out.push_back(alphabet[(v >> 12) & 63]);
        out.push_back(i + 1 < data.size() ? alphabet[(v >> 6) & 63] : '=');
        out.push_back('=');
    }
}

bool base64_decode(std::string_view text, std::string& out) {
    std::uint32_t bits = 0;
    int count = 0;
    bool padding = false;
    for (char c : text) {
        int value;
        if (c >= 'A' && c <= 'Z') {
            value = c - 'A';
        } else if (c >= 'a' && c <= 'z') {
            value = c - 'a' + 26;
        } else if (c >= '0' && c <= '9') {
            value = c - '0' + 52;
        } else if (c == '+') {
            value = 62;
        } else if (c == '/') {
            value = 63;
        } else if (c == '=') {
            padding = true;
            continue;
        } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            continue;
        } else {
            return false;
        }
        if (padding) return false; // data after the padding
        bits = bits << 6 | static_cast<std::uint32_t>(value);
        if (++count == 4) {
            out.push_back(static_cast<char>(bits >> 16));
            out.push_back(static_cast<char>(bits >> 8));
            out.push_back(static_cast<char>(bits));
            bits = 0;
            count = 0;
        }
    }
    if (count == 1) return false;
    if (count >= 2) out.push_back(static_cast<char>(bits >> (count == 2 ? 4 : 10)));
    if (count == 3) out.push_back(static_cast<char>(bits >> 2));
    return true;
}

} // namespace vantrel::smtp
