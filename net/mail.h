// The mail sender: one notification mail handed to a local mail program or
// spoken to an SMTP server.
//
// A mail is a template text that carries its own header lines; its "[#NAME#]"
// markers are filled from a TemplateVars list. The transport text decides the
// way out: a text with a "/" is a mail program with its options, such as
// "/usr/sbin/sendmail -oi", split into words at blanks (no shell) and started
// with "-t" added, so that it takes the recipients from the header lines and
// reads the mail on its standard input; any other text is the name or dotted
// address of an SMTP server reached on port 25.
//
// Mail programs run one at a time in a process: sendMail and sendByProgram
// take the lock the caller passes (the worker's result lock) for exactly the
// life of the program. The SMTP path never takes it, so dialogues of several
// check threads run side by side, each on its own socket.
#ifndef VANTRY_NET_MAIL_H_
#define VANTRY_NET_MAIL_H_

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "common/errors.h"
#include "common/status.h"
#include "common/templates.h"
#include "net/socket.h"

namespace vy {

// The result of one mail. 2, 4, 5 and 17 belong to the code set and have
// texts, but nothing produces them.
enum class MailError : int {
  kOk = 0,
  kOpenProgram = 1,     // "Open sendmail": the mail program could not start
  kSocketError = 3,     // "Socket error": no socket, or a reply wait or receive failed
  kConnectError = 6,    // "Connection error": refused or failed
  kHelo = 7,            // "HELO": the greeting or the HELO reply was refused
  kMailFrom = 8,        // "MAIL FROM"
  kRcptTo = 9,          // "RCPT TO": a recipient was refused, or there was none
  kData = 10,           // "DATA"
  kEndOfData = 11,      // "End of data"
  kQuit = 12,           // "QUIT"
  kServerUnknown = 13,  // "gethostbyname": the server name did not resolve
  kCloseProgram = 14,   // "Close sendmail": the program ended with a failure
  kUnknown = 15,        // "Unknown Error": a command could not be sent whole
  kTimeout = 16,        // "Connection timeout": the connect or a reply wait ran out
};

// The text of a mail error's number; "Unknown Error" outside the code set.
const char* mailErrorText(MailError error);

// The action a failed mail's error-log line carries: the mail error's own
// number, as the log has always held it (so the log page names the action of
// that number, "Removing file" for a HELO refusal, and "Unknown" from 14 up).
ErrAction logAction(MailError error);

inline constexpr uint16_t kSmtpPort = 25;
inline constexpr std::chrono::milliseconds kSmtpConnectWait{15000};
// Each server reply is read whole up to this many bytes, each chunk awaited
// at most this long.
inline constexpr size_t kSmtpReplyLimit = 149;
inline constexpr std::chrono::milliseconds kSmtpReplyWait{3000};
// The longest address put into a MAIL FROM or RCPT TO command (the path limit
// of the SMTP standard); a longer one is refused by that step's code.
inline constexpr size_t kMaxSmtpAddress = 256;

// Sets BOUNDARY ("--" and 36 random characters) in vars, fills the template
// and sends the result through the program or the SMTP server that
// `transport` names (resolved with `hosts`). The sender and recipient are
// used by SMTP only. `programLock` is held while a mail program runs. The
// status names the program or the server.
[[nodiscard]] Status<MailError> sendMail(const std::string& transport, const std::string& sender,
                                         const std::string& recipient,
                                         std::string_view templateText, TemplateVars& vars,
                                         const HostTable& hosts, std::mutex& programLock);

// Runs the words of `program` with "-t" added (an argument vector, no shell)
// under programLock, writes the message and "\n.\n" to it and waits. kOk,
// kOpenProgram (cannot start) or kCloseProgram (a status other than a clean
// exit 0).
[[nodiscard]] Status<MailError> sendByProgram(const std::string& program, std::string_view message,
                                              std::mutex& programLock);

// Delivers the message to `server` on port 25: greeting, HELO, MAIL FROM, one
// RCPT TO per address of `recipients` (the text is split at commas,
// semicolons and white space), DATA, the message with every line that begins
// with "." given one more "." and ended by "\r\n.\r\n", QUIT. Line ends are
// sent as they are. kUnknown when a command cannot be sent whole.
[[nodiscard]] Status<MailError> sendBySmtp(const std::string& server, const std::string& sender,
                                           const std::string& recipients, std::string_view message,
                                           const HostTable& hosts);

// Whether a server reply holds an accepted code ("250", "220", "354" or
// "221") anywhere in its text.
bool smtpReplyOk(std::string_view reply);

}  // namespace vy

#endif  // VANTRY_NET_MAIL_H_
