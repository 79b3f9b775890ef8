// The message the interface shows for each way a send can fail.
#include "upload/delivery.h"

namespace dalvento {

std::string send_error_message(const SendError& error) {
    const std::string chat(SUPPORT_CHAT_HOST);
    switch (error.kind) {
        case SendErrorKind::too_big:
            return "Dalvento says this delivery is too big to take. Hand it over on a stick and "
                   "let "
                   "us know at " +
                   chat + ".";
        case SendErrorKind::rejected:
            return "Dalvento didn't accept the delivery: " + error.text;
        case SendErrorKind::unavailable:
            return "Dalvento isn't taking deliveries right now. The zip is kept; press Send to "
                   "Dalvento to try again.";
        case SendErrorKind::not_intact:
            return "The upload didn't arrive intact, twice. Check the connection and try again.";
        case SendErrorKind::links_expired:
            return "The upload took too long and its links expired, twice. Try again on a better "
                   "connection.";
        case SendErrorKind::unreachable:
            return "Couldn't reach Dalvento: " + error.text +
                   ". The zip is kept; press Send to Dalvento to try again.";
        case SendErrorKind::unexpected:
            return "Dalvento answered something unexpected: " + error.text;
        case SendErrorKind::stopped:
            return "Sending stopped. The zip is kept; press Send to Dalvento to try again.";
        case SendErrorKind::token_refused: {
            const std::string said =
                error.server_text.empty() ? "" : " and said \"" + error.server_text + "\"";
            return "Dalvento at " + error.base_url + " refused the office token at " + error.stage +
                   " (401" + said + "). The token given began " + error.token_description +
                   ". If that's the token you were given, it may have been revoked; ask for a new "
                   "one at " +
                   chat + ".";
        }
    }
    return "Dalvento answered something unexpected: " + error.text;
}

}  // namespace dalvento
