// DKIM signatures (RFC 6376) with relaxed/relaxed canonicalisation, for
// rsa-sha256 and ed25519-sha256 (RFC 8463), over a message given as the
// exact bytes that will be sent.  No Python here: the vantrel.dkim module and
// the sessions wrap it.  Keys and digests come from OpenSSL's libcrypto, the
// library the interpreter's ssl module is built on.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

typedef struct evp_pkey_st EVP_PKEY;

namespace vantrel::dkim {

// A key, a header list or a message the signer cannot work with; what() says
// why in words fit for a ValueError.
class Problem : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class Algorithm { RsaSha256, Ed25519Sha256 };

struct KeyFree {
    void operator()(EVP_PKEY* key) const noexcept;
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;

// A private key from PEM text (PKCS#8 or traditional RSA); throws Problem.
Key private_key(std::string_view pem);

// A public key from PEM text, or from the value of a DKIM key record
// ("v=DKIM1; k=rsa; p=..."); throws Problem.
Key public_key(std::string_view text);

// The header names signed when the caller names none, in this order, each
// where the message has it; From is signed once more than it occurs, so that
// no From can be added without breaking the signature.
const std::vector<std::string>& default_headers();

class Signer {
public:
    // Throws Problem for a key that does not suit the algorithm, an RSA key
    // under 1024 bits, an empty domain or selector, or a header list without
    // From or with a name that is not a field name.
    Signer(std::string domain, std::string selector, Key key, Algorithm algorithm,
           std::vector<std::string> headers);

    // The DKIM-Signature field for `message` (its header, an empty line, its
    // body, every line ending in CRLF: smtp::wire_text's form, exactly what
    // the engine sends), folded, ending in CRLF: written in front of the
    // message, it signs it.  `timestamp` is the t= tag (seconds
    // since the epoch).
    std::string field(std::string_view message, std::int64_t timestamp) const;

    // The TXT record to publish at <selector>._domainkey.<domain>.
    std::string dns_record() const;

    const std::string& domain() const noexcept { return domain_; }
    const std::string& selector() const noexcept { return selector_; }
    Algorithm algorithm() const noexcept { return algorithm_; }
    const std::vector<std::string>& headers() const noexcept { return headers_; }

private:
    std::string domain_;
    std::string selector_;
    Key key_;
    Algorithm algorithm_;
    std::vector<std::string> headers_; // lower case
};

// The outcome of checking the first DKIM-Signature of a message.
struct Verdict {
    bool valid;
    std::string reason; // why not, when not valid
};

// Checks the message's first DKIM-Signature against `key`: the body hash,
// then the signature over the signed header fields.  Relaxed and simple
// canonicalisation are both understood.
Verdict verify(std::string_view message, EVP_PKEY* key);

// Relaxed canonical forms (RFC 6376, 3.4.2 and 3.4.4), exposed for tests.
std::string relaxed_header(std::string_view field);
std::string relaxed_body(std::string_view body);

} // namespace vantrel::dkim
