#include "dkim/dkim.hpp"

#include "smtp/sasl.hpp"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>

namespace vantrel::dkim {

void KeyFree::operator()(EVP_PKEY* key) const noexcept {
    EVP_PKEY_free(key);
}

namespace {

struct BioFree {
    void operator()(BIO* bio) const noexcept { BIO_free(bio); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }
};
using Bio = std::unique_ptr<BIO, BioFree>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

// OpenSSL keeps its reasons in a per-thread queue; a failure here says its
// own words and leaves the queue empty for the interpreter's ssl module.
[[noreturn]] void fail(const std::string& what) {
    ERR_clear_error();
    throw Problem(what);
}

bool is_wsp(char c) {
    return c == ' ' || c == '\t';
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string lowered(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), lower);
    return out;
}

// A field name as RFC 5322 allows it: printable ASCII without the colon.
bool is_field_name(std::string_view name) {
    if (name.empty()) return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return static_cast<unsigned char>(c) >= 33 && static_cast<unsigned char>(c) <= 126 &&
               c != ':';
    });
}

std::string base64(const unsigned char* data, std::size_t size) {
    std::string out;
    smtp::base64_encode(std::string_view(reinterpret_cast<const char*>(data), size), out);
    return out;
}

// Base64 with folding whitespace in it, as tag values may have it.
std::string unbase64(std::string_view text) {
    std::string out;
    if (!smtp::base64_decode(text, out)) fail("value is not base64");
    return out;
}

std::array<unsigned char, 32> sha256(std::string_view data) {
    std::array<unsigned char, 32> digest{};
    unsigned int size = 0;
    if (!EVP_Digest(data.data(), data.size(), digest.data(), &size, EVP_sha256(), nullptr))
        fail("SHA-256 failed");
    return digest;
}

// One header field of a message: its name and the whole field, folded
// lines and the final CRLF included.
struct Field {
    std::string_view name;
    std::string_view whole;
};

struct Parsed {
    std::vector<Field> fields;
    std::string_view body;
};

// Splits a message in CRLF form into its header fields and its body.
Parsed parse(std::string_view message) {
    Parsed parsed;
    std::size_t at = 0;
    while (at < message.size()) {
        if (message.compare(at, 2, "\r\n") == 0) {
            parsed.body = message.substr(at + 2);
            return parsed;
        }
        std::size_t end = at;
        do { // a field goes on while the next line starts with whitespace
            const std::size_t eol = message.find("\r\n", end);
            end = eol == std::string_view::npos ? message.size() : eol + 2;
        } while (end < message.size() && is_wsp(message[end]));
        const std::string_view whole = message.substr(at, end - at);
        const std::size_t colon = whole.find(':');
        if (colon == std::string_view::npos) fail("a header line without a colon");
        std::string_view name = whole.substr(0, colon);
        while (!name.empty() && is_wsp(name.back()))
            name.remove_suffix(1);
        parsed.fields.push_back({name, whole});
        at = end;
    }
    return parsed; // no body at all
}

std::string simple_body(std::string_view body) {
    std::size_t end = body.size();
    while (end >= 2 && body.compare(end - 2, 2, "\r\n") == 0)
        end -= 2;
    std::string out(body.substr(0, end));
    out += "\r\n";
    return out;
}

// The fields that `names` pick, in that order: for a name given n times, its
// last n instances from the bottom up (RFC 6376, 5.4.2); none for a name the
// message has no more instances of.
std::vector<const Field*> pick(const std::vector<Field>& fields,
                               const std::vector<std::string>& names) {
    std::map<std::string, std::size_t> used;
    std::vector<const Field*> picked;
    for (const std::string& name : names) {
        std::size_t& skip = used[name];
        std::size_t seen = 0;
        const Field* found = nullptr;
        for (auto it = fields.rbegin(); it != fields.rend(); ++it) {
            if (lowered(it->name) != name) continue;
            if (seen++ == skip) {
                found = &*it;
                break;
            }
        }
        ++skip;
        picked.push_back(found);
    }
    return picked;
}

void check_key(EVP_PKEY* key, Algorithm algorithm) {
    const int id = EVP_PKEY_get_base_id(key);
    if (algorithm == Algorithm::RsaSha256) {
        if (id != EVP_PKEY_RSA) fail("rsa-sha256 needs an RSA key");
        if (EVP_PKEY_get_bits(key) < 1024) fail("an RSA key for DKIM needs at least 1024 bits");
    } else if (id != EVP_PKEY_ED25519) {
        fail("ed25519-sha256 needs an Ed25519 key");
    }
}

// The signature over `data`: RSA with SHA-256 (PKCS #1 v1.5), or Ed25519 over
// the SHA-256 of the data as RFC 8463 has it.
std::string sign(EVP_PKEY* key, Algorithm algorithm, std::string_view data) {
    MdCtx ctx(EVP_MD_CTX_new());
    if (!ctx) fail("out of memory");
    std::array<unsigned char, 32> digest{};
    const EVP_MD* md = EVP_sha256();
    if (algorithm == Algorithm::Ed25519Sha256) {
        digest = sha256(data);
        data = std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size());
        md = nullptr;
    }
    std::size_t size = 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    if (EVP_DigestSignInit(ctx.get(), nullptr, md, nullptr, key) != 1 ||
        EVP_DigestSign(ctx.get(), nullptr, &size, bytes, data.size()) != 1)
        fail("signing failed");
    std::string signature(size, '\0');
    if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &size, bytes,
                       data.size()) != 1)
        fail("signing failed");
    signature.resize(size);
    return signature;
}

bool check_signature(EVP_PKEY* key, Algorithm algorithm, std::string_view data,
                     std::string_view signature) {
    MdCtx ctx(EVP_MD_CTX_new());
    if (!ctx) fail("out of memory");
    std::array<unsigned char, 32> digest{};
    const EVP_MD* md = EVP_sha256();
    if (algorithm == Algorithm::Ed25519Sha256) {
        digest = sha256(data);
        data = std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size());
        md = nullptr;
    }
    const bool good =
        EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, key) == 1 &&
        EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                         signature.size(), reinterpret_cast<const unsigned char*>(data.data()),
                         data.size()) == 1;
    ERR_clear_error();
    return good;
}

// Writes a field's value line by line, folding before a piece that would
// carry a line past 78 characters.
class Folder {
public:
    explicit Folder(std::string& out) : out_(out), column_(out.size()) {}

    // `piece` starts a new tag, after "; " (or the field name's ": ").
    void tag(std::string_view piece) {
        if (column_ + 1 + piece.size() > 78) {
            out_ += "\r\n\t";
            column_ = 1;
        } else {
            out_ += ' ';
            ++column_;
        }
        put(piece);
    }

    // Continues the current tag's value, folding inside it where needed.
    void more(std::string_view piece) {
        if (column_ + piece.size() > 78) {
            out_ += "\r\n\t";
            column_ = 1;
        }
        put(piece);
    }

private:
    void put(std::string_view piece) {
        out_ += piece;
        column_ += piece.size();
    }
    std::string& out_;
    std::size_t column_;
};

const char* algorithm_name(Algorithm algorithm) {
    return algorithm == Algorithm::RsaSha256 ? "rsa-sha256" : "ed25519-sha256";
}

// The tags of a DKIM-Signature value, by name; values keep their inner
// whitespace, which the tags that use them strip.
std::map<std::string, std::string> tags_of(std::string_view value) {
    std::map<std::string, std::string> tags;
    std::size_t at = 0;
    while (at <= value.size()) {
        std::size_t end = value.find(';', at);
        if (end == std::string_view::npos) end = value.size();
        std::string_view item = value.substr(at, end - at);
        const std::size_t eq = item.find('=');
        if (eq != std::string_view::npos) {
            std::string name;
            for (char c : item.substr(0, eq))
                if (!is_wsp(c) && c != '\r' && c != '\n') name += c;
            std::string_view tag_value = item.substr(eq + 1);
            while (!tag_value.empty() && std::strchr(" \t\r\n", tag_value.front()))
                tag_value.remove_prefix(1);
            while (!tag_value.empty() && std::strchr(" \t\r\n", tag_value.back()))
                tag_value.remove_suffix(1);
            tags.emplace(name, std::string(tag_value));
        }
        at = end + 1;
    }
    return tags;
}

std::string without_space(std::string_view text) {
    std::string out;
    for (char c : text)
        if (!std::strchr(" \t\r\n", c)) out += c;
    return out;
}

// The DKIM-Signature field with the value of its b= tag taken out, as the
// signature covers it.
std::string without_b_value(std::string_view field) {
    const std::size_t colon = field.find(':');
    std::size_t at = colon + 1;
    while (at < field.size()) {
        std::size_t end = field.find(';', at);
        if (end == std::string_view::npos) end = field.size();
        std::string_view item = field.substr(at, end - at);
        const std::size_t eq = item.find('=');
        if (eq != std::string_view::npos && without_space(item.substr(0, eq)) == "b") {
            std::string out(field.substr(0, at + eq + 1));
            std::string_view rest = field.substr(end);
            // The field's own line end stays; the value goes.
            if (rest.empty() && field.ends_with("\r\n")) rest = "\r\n";
            out += rest;
            return out;
        }
        at = end + 1;
    }
    return std::string(field);
}

bool has_wsp(std::string_view line) noexcept {
    return std::memchr(line.data(), ' ', line.size()) ||
           std::memchr(line.data(), '\t', line.size());
}

// Gives the relaxed canonical form of a body (RFC 6376, 3.4.4) to `sink` in
// pieces.  Most lines (base64, most text) have no space to change: runs of
// them go as they stand, without a copy, and empty lines wait until a line
// with text follows them, for those at the end are dropped.
template <class Sink> void relaxed_body_to(std::string_view body, Sink&& sink) {
    std::size_t run = 0, run_end = 0; // input given as it is, not yet sunk
    std::size_t empties = 0;          // empty lines after the run, not yet sunk
    bool gap_raw = true;              // and they are bare CRLFs right after it
    std::string changed;
    auto flush = [&] {
        if (run_end > run) sink(body.substr(run, run_end - run));
        for (; empties > 0; --empties)
            sink("\r\n");
    };
    std::size_t at = 0;
    while (at < body.size()) {
        const std::size_t eol = body.find("\r\n", at);
        const bool last = eol == std::string_view::npos;
        const std::string_view line = body.substr(at, (last ? body.size() : eol) - at);
        const std::size_t next = last ? body.size() : eol + 2;
        if (!last && !has_wsp(line)) {
            if (line.empty()) {
                ++empties;
            } else if (gap_raw) {
                run_end = next; // the empty lines between were bare CRLFs too
                empties = 0;
            } else {
                flush();
                run = at;
                run_end = next;
                gap_raw = true;
            }
            at = next;
            continue;
        }
        changed.clear();
        bool space = false;
        for (char c : line) {
            if (is_wsp(c)) {
                space = true;
                continue;
            }
            if (space) changed += ' ';
            space = false;
            changed += c;
        }
        if (changed.empty()) {
            ++empties;
            gap_raw = false;
        } else {
            flush();
            changed += "\r\n";
            sink(changed);
            run = run_end = next;
            gap_raw = true;
        }
        at = next;
    }
    if (run_end > run) sink(body.substr(run, run_end - run)); // the empty lines after it go
}

// The SHA-256 of the relaxed canonical body, hashed as it is made.
std::array<unsigned char, 32> relaxed_body_hash(std::string_view body) {
    MdCtx ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) fail("SHA-256 failed");
    relaxed_body_to(body, [&](std::string_view piece) {
        if (EVP_DigestUpdate(ctx.get(), piece.data(), piece.size()) != 1) fail("SHA-256 failed");
    });
    std::array<unsigned char, 32> digest{};
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest.data(), &size) != 1) fail("SHA-256 failed");
    return digest;
}

} // namespace

std::string relaxed_header(std::string_view field) {
    const std::size_t colon = field.find(':');
    std::string_view name = field.substr(0, colon);
    while (!name.empty() && is_wsp(name.back()))
        name.remove_suffix(1);
    std::string out = lowered(name);
    out += ':';
    bool space = false;
    bool started = false;
    for (char c : field.substr(colon + 1)) {
        if (c == '\r' || c == '\n') continue; // unfold
        if (is_wsp(c)) {
            space = started;
            continue;
        }
        if (space) out += ' ';
        space = false;
        started = true;
        out += c;
    }
    out += "\r\n";
    return out;
}

std::string relaxed_body(std::string_view body) {
    std::string out;
    out.reserve(body.size());
    relaxed_body_to(body, [&](std::string_view piece) { out += piece; });
    return out;
}

Key private_key(std::string_view pem) {
    Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio) fail("out of memory");
    Key key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (!key) fail("private_key is not a PEM private key (without a passphrase)");
    ERR_clear_error();
    return key;
}

Key public_key(std::string_view text) {
    if (text.find("-----BEGIN") != std::string_view::npos) {
        Bio bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
        if (!bio) fail("out of memory");
        Key key(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
        if (!key) fail("not a PEM public key");
        ERR_clear_error();
        return key;
    }
    const auto tags = tags_of(text);
    const auto p = tags.find("p");
    if (p == tags.end() || without_space(p->second).empty())
        fail("a key record needs a p= tag with the key");
    const auto k = tags.find("k");
    const std::string kind = k == tags.end() ? "rsa" : without_space(k->second);
    const std::string der = unbase64(p->second);
    const auto* bytes = reinterpret_cast<const unsigned char*>(der.data());
    Key key;
    if (kind == "rsa") {
        key.reset(d2i_PUBKEY(nullptr, &bytes, static_cast<long>(der.size())));
    } else if (kind == "ed25519") {
        key.reset(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, bytes, der.size()));
    } else {
        fail("a key record of an unknown kind k=" + kind);
    }
    if (!key) fail("the key record's p= is not a " + kind + " public key");
    return key;
}

const std::vector<std::string>& default_headers() {
    static const std::vector<std::string> names = {"from",
                                                   "to",
                                                   "cc",
                                                   "subject",
                                                   "date",
                                                   "message-id",
                                                   "reply-to",
                                                   "mime-version",
                                                   "content-type",
                                                   "list-unsubscribe",
                                                   "list-unsubscribe-post"};
    return names;
}

Signer::Signer(std::string domain, std::string selector, Key key, Algorithm algorithm,
               std::vector<std::string> headers)
    : domain_(std::move(domain)), selector_(std::move(selector)), key_(std::move(key)),
      algorithm_(algorithm) {
    auto plain = [](const std::string& text) {
        return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
            return static_cast<unsigned char>(c) > 32 && static_cast<unsigned char>(c) < 127 &&
                   c != ';' && c != '=';
        });
    };
    if (!plain(domain_)) fail("domain must be a domain name");
    if (!plain(selector_)) fail("selector must be a name of letters, digits, dots and dashes");
    check_key(key_.get(), algorithm_);
    for (const std::string& name : headers) {
        if (!is_field_name(name)) fail("'" + name + "' is not a header field name");
        std::string low = lowered(name);
        if (low == "dkim-signature") fail("the signature cannot sign itself");
        if (std::find(headers_.begin(), headers_.end(), low) == headers_.end())
            headers_.push_back(std::move(low));
    }
    if (std::find(headers_.begin(), headers_.end(), "from") == headers_.end())
        fail("the signed headers must include From");
}

std::string Signer::field(std::string_view message, std::int64_t timestamp) const {
    const Parsed parsed = parse(message);
    const auto body_hash = relaxed_body_hash(parsed.body);

    // Every instance of each name the message has, then From once more.
    std::vector<std::string> names;
    for (const std::string& name : headers_) {
        for (const Field& field : parsed.fields) {
            if (lowered(field.name) == name) names.push_back(name);
        }
    }
    names.push_back("from");

    std::string out = "DKIM-Signature:";
    Folder fold(out);
    fold.tag("v=1;");
    fold.tag(std::string("a=") + algorithm_name(algorithm_) + ";");
    fold.tag("c=relaxed/relaxed;");
    fold.tag("d=" + domain_ + ";");
    fold.tag("s=" + selector_ + ";");
    fold.tag("t=" + std::to_string(timestamp) + ";");
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string piece = names[i] + (i + 1 < names.size() ? ":" : ";");
        if (i == 0)
            fold.tag("h=" + piece);
        else
            fold.more(piece);
    }
    const std::string bh = base64(body_hash.data(), body_hash.size());
    fold.tag("bh=" + bh.substr(0, 40));
    fold.more(bh.substr(40) + ";");
    fold.tag("b=");

    std::string signed_data;
    for (const Field* field : pick(parsed.fields, names)) {
        if (field) signed_data += relaxed_header(field->whole);
    }
    std::string own = relaxed_header(out);
    own.resize(own.size() - 2); // the signature field is signed without its CRLF
    signed_data += own;

    const std::string raw = sign(key_.get(), algorithm_, signed_data);
    const std::string b = base64(reinterpret_cast<const unsigned char*>(raw.data()), raw.size());
    for (std::size_t at = 0; at < b.size(); at += 64)
        fold.more(b.substr(at, 64));
    out += "\r\n";
    return out;
}

std::string Signer::dns_record() const {
    std::string der;
    if (algorithm_ == Algorithm::RsaSha256) {
        unsigned char* bytes = nullptr;
        const int size = i2d_PUBKEY(key_.get(), &bytes);
        if (size <= 0) fail("the public key cannot be written");
        der.assign(reinterpret_cast<char*>(bytes), static_cast<std::size_t>(size));
        OPENSSL_free(bytes);
    } else {
        std::size_t size = 0;
        EVP_PKEY_get_raw_public_key(key_.get(), nullptr, &size);
        der.resize(size);
        if (EVP_PKEY_get_raw_public_key(key_.get(), reinterpret_cast<unsigned char*>(der.data()),
                                        &size) != 1)
            fail("the public key cannot be written");
    }
    const char* kind = algorithm_ == Algorithm::RsaSha256 ? "rsa" : "ed25519";
    return std::string("v=DKIM1; k=") + kind +
           "; p=" + base64(reinterpret_cast<const unsigned char*>(der.data()), der.size());
}

Verdict verify(std::string_view message, EVP_PKEY* key) {
    try {
        const Parsed parsed = parse(message);
        const Field* signature = nullptr;
        for (const Field& field : parsed.fields) {
            if (lowered(field.name) == "dkim-signature") {
                signature = &field;
                break;
            }
        }
        if (!signature) return {false, "the message has no DKIM-Signature"};
        const std::string_view whole = signature->whole;
        const auto tags = tags_of(whole.substr(whole.find(':') + 1));
        auto tag = [&](const char* name) {
            const auto it = tags.find(name);
            return it == tags.end() ? std::string() : it->second;
        };
        const std::string a = without_space(tag("a"));
        Algorithm algorithm;
        if (a == "rsa-sha256")
            algorithm = Algorithm::RsaSha256;
        else if (a == "ed25519-sha256")
            algorithm = Algorithm::Ed25519Sha256;
        else
            return {false, "unknown algorithm a=" + a};
        if ((algorithm == Algorithm::RsaSha256) != (EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA))
            return {false, "the key does not suit a=" + a};
        std::string c = without_space(tag("c"));
        if (c.empty()) c = "simple/simple";
        const std::size_t slash = c.find('/');
        const std::string header_c = c.substr(0, slash);
        const std::string body_c = slash == std::string::npos ? "simple" : c.substr(slash + 1);
        if ((header_c != "simple" && header_c != "relaxed") ||
            (body_c != "simple" && body_c != "relaxed"))
            return {false, "unknown canonicalisation c=" + c};

        std::string body =
            body_c == "relaxed" ? relaxed_body(parsed.body) : simple_body(parsed.body);
        if (const std::string l = without_space(tag("l")); !l.empty()) {
            const std::size_t limit = std::stoul(l);
            if (limit > body.size()) return {false, "l= is longer than the body"};
            body.resize(limit);
        }
        const auto hash = sha256(body);
        if (base64(hash.data(), hash.size()) != without_space(tag("bh")))
            return {false, "the body hash does not match: the body was changed"};

        std::vector<std::string> names;
        const std::string h = without_space(tag("h"));
        for (std::size_t at = 0; at <= h.size();) {
            std::size_t end = h.find(':', at);
            if (end == std::string::npos) end = h.size();
            if (end > at) names.push_back(lowered(h.substr(at, end - at)));
            at = end + 1;
        }
        auto canonical = [&](std::string_view field) {
            return header_c == "relaxed" ? relaxed_header(field) : std::string(field);
        };
        std::string signed_data;
        for (const Field* field : pick(parsed.fields, names)) {
            if (field) signed_data += canonical(field->whole);
        }
        std::string own = canonical(without_b_value(whole));
        if (own.ends_with("\r\n")) own.resize(own.size() - 2);
        signed_data += own;
        if (!check_signature(key, algorithm, signed_data, unbase64(tag("b"))))
            return {false, "the signature does not match the signed header fields"};
        return {true, {}};
    } catch (const Problem& problem) {
        return {false, problem.what()};
    } catch (const std::exception&) {
        return {false, "the DKIM-Signature does not parse"};
    }
}

} // namespace vantrel::dkim
