// SASL mechanisms for AUTH (RFC 4954).  A mechanism makes the responses; the
// client does the base64, the replies and the choice among those the server
// offers.  A new mechanism is one more subclass.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::smtp {

class Mechanism {
public:
    virtual ~Mechanism() = default;
    // The name as servers advertise it, upper case: "PLAIN".
    virtual std::string_view name() const noexcept = 0;
    // The initial response to send with AUTH, before base64; nullopt to send
    // AUTH with the name alone and wait for the first challenge.
    virtual std::optional<std::string> initial() = 0;
    // The response to a 334 challenge (decoded); nullopt cancels the
    // exchange ("*").  An empty response is an empty line, as XOAUTH2's
    // failure flow has it.
    virtual std::optional<std::string> respond(std::string_view challenge) = 0;
    // Whether the responses hold a secret (kept out of the trace).
    virtual bool secret() const noexcept { return true; }
};

// CRAM-MD5, PLAIN and LOGIN with these credentials, in smtplib's order of
// preference.
std::vector<std::unique_ptr<Mechanism>> password_mechanisms(std::string_view user,
                                                            std::string_view password);

// Bearer-token mechanisms for OAuth2 sign-in.
enum class Bearer : std::uint8_t {
    XOAuth2,     // as Google and Microsoft define it
    OAuthBearer, // RFC 7628
};

// One initial response carrying the token; a 334 challenge after it is the
// server's account of the refusal (a JSON text, kept as the LoginRefused
// event's detail), answered as each mechanism's failure flow has it (an empty
// line for XOAUTH2, ^A for OAUTHBEARER), so that the server ends the exchange
// with its 535.  `host` and `port` go into OAUTHBEARER's response.
std::unique_ptr<Mechanism> bearer_mechanism(Bearer kind, std::string_view user,
                                            std::string_view token, std::string_view host,
                                            unsigned port);

void base64_encode(std::string_view data, std::string& out);
// Whitespace is skipped; false for any other octet outside the alphabet.
bool base64_decode(std::string_view text, std::string& out);

} // namespace vantrel::smtp
