// How a session's connection signs in: with the mailer's password, or with an
// OAuth2 token that the session's `auth` (vantrel.auth.XOAuth2 or
// OAuthBearer) gets from its token source.  The blocking and the asyncio
// session both read it here; each gets the token its own way (the asyncio
// one off its event loop when the source must fetch).
#pragma once

#include "frame/frame.hpp"
#include "mail/settings.hpp"
#include "smtp/sasl.hpp"

#include <memory>
#include <vector>

namespace vantrel::mail {

// A session's `auth` argument: None, kept as empty (the password), or an
// instance of the module's XOAuth2 or OAuthBearer; a TypeError otherwise.
Ref checked_auth(const ModuleFrame& frame, PyObject* auth);

// The token for one login, from auth.source.token(); what the source raises
// (vantrel.auth.TokenError) propagates as it is.
Ref fetch_token(PyObject* auth);
// The token the source holds and would give without fetching, or empty: a
// source without `cached()` always fetches.
Ref cached_token(PyObject* auth);
// The server refused the token: the source forgets it, so that the next
// token() fetches another.
void invalidate_token(PyObject* auth);
// The source whose token() a driver runs elsewhere (a thread of an executor).
Ref token_source(PyObject* auth);

// The mechanisms to log in with on one connection, in the order to try them.
// Without `auth`: the password's (CRAM-MD5, PLAIN, LOGIN), or none for a
// mailer without username and password.  With it: its bearer mechanism with
// `token` (a str), as auth.user or else the mailer's username.
std::vector<std::unique_ptr<smtp::Mechanism>> login_mechanisms(const Settings& settings,
                                                               PyObject* auth, PyObject* token);

} // namespace vantrel::mail
