// The parameters of the sending methods, shared by EasyMailer and Session so
// that both take the same arguments with the same defaults, annotations and
// type rules: one table each for send and send_template.
#pragma once

#include "frame/frame.hpp"

namespace vantrel::mail {

inline constexpr const char* optional_addresses = "Optional[Union[str, List[str]]]";
inline constexpr const char* optional_attachments = "Optional[List[Union[str, Dict]]]";

inline constexpr Param to_param{"to", "Union[str, List[str]]", Rule::Any, Default::Required};
inline constexpr Param subject_param{"subject", "str", Rule::Str, Default::Required};
inline constexpr Param body_param{"body", "Optional[str]", Rule::OptStr, Default::None};
inline constexpr Param html_param{"html", "Optional[str]", Rule::OptStr, Default::None};
inline constexpr Param cc_param{"cc", optional_addresses, Rule::Any, Default::None};
inline constexpr Param bcc_param{"bcc", optional_addresses, Rule::Any, Default::None};
inline constexpr Param sender_param{"sender", "Optional[str]", Rule::OptStr, Default::None};
inline constexpr Param sender_name_param{"sender_name", "Optional[str]", Rule::OptStr,
                                         Default::None};
inline constexpr Param attachments_param{"attachments", optional_attachments, Rule::OptList,
                                         Default::None};
inline constexpr Param reply_to_param{"reply_to", "Optional[str]", Rule::OptStr, Default::None};
inline constexpr Param template_name_param{"template_name", "str", Rule::Str, Default::Required};
inline constexpr Param context_param{"context", "Optional[dict]", Rule::OptDict, Default::None};

// The same parameter without its default.
constexpr Param required(Param param) {
    param.value = Default::Required;
    return param;
}

// send(self, to, subject, body=None, html=None, cc=None, bcc=None, sender=None,
//      sender_name=None, attachments=None, reply_to=None)
inline constexpr Param send_params[] = {
    self_param, to_param,     subject_param,     body_param,        html_param,     cc_param,
    bcc_param,  sender_param, sender_name_param, attachments_param, reply_to_param,
};

// send_template(self, to, subject, template_name, context=None, cc=None, bcc=None,
//               sender=None, sender_name=None, attachments=None, reply_to=None)
inline constexpr Param send_template_params[] = {
    self_param, to_param,     subject_param,     template_name_param, context_param,  cc_param,
    bcc_param,  sender_param, sender_name_param, attachments_param,   reply_to_param,
};

// What a session's send and send_template take after reply_to: header fields
// of the caller's own and the List-Unsubscribe URIs (see headers.hpp).
inline constexpr Param headers_param{"headers", "Optional[Dict[str, str]]", Rule::Any,
                                     Default::None};
inline constexpr Param unsubscribe_param{"unsubscribe", optional_addresses, Rule::Any,
                                         Default::None};

inline constexpr Param session_send_params[] = {
    self_param,     to_param,      subject_param,     body_param,        html_param,
    cc_param,       bcc_param,     sender_param,      sender_name_param, attachments_param,
    reply_to_param, headers_param, unsubscribe_param,
};

inline constexpr Param session_send_template_params[] = {
    self_param,     to_param,      subject_param,     template_name_param, context_param,
    cc_param,       bcc_param,     sender_param,      sender_name_param,   attachments_param,
    reply_to_param, headers_param, unsubscribe_param,
};

} // namespace vantrel::mail
