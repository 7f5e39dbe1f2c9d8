// The mail sender: one notification mail handed to a local mail program or
// spoken to an SMTP server.
//
// A mail is a template text that carries its own header lines; its "[#NAME#]"
// markers are filled from a TemplateVars list. The transport text decides the
// way out: a text with a "/" names a mail program, started as "<program> -t"
// so that it takes the recipients from the header lines and reads the mail on
// its standard input; any other text is the name or dotted address of an
// SMTP server reached on port 25.
//
// Mail programs run one at a time in a process: sendMail and sendByProgram
// take the lock the caller passes (the worker's result lock) for exactly the
// life of the program. The SMTP path never takes it, so dialogues of several
// check threads run side by side, each on its own socket.
#ifndef VANTRY_NET_MAIL_H_
#define VANTRY_NET_MAIL_H_

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "common/templates.h"

namespace vy {

// MailError: the result of one mail.
enum MailError : int {
  kMailOk = 0,
  kMailOpenProgram = 1,     // "Open sendmail": the mail program could not start
  kMailInvalidAddress = 2,  // "Invalid IP address" (never produced; part of the code set)
  kMailSocketError = 3,     // "Socket error": no socket, or a reply wait or receive failed
  kMailBind = 4,            // "bind" (never produced)
  kMailLookupFailed = 5,    // "Hostname lookup failed" (never produced; see 13)
  kMailConnectError = 6,    // "Connection error": refused or failed
  kMailHelo = 7,            // "HELO": the greeting or the HELO reply was refused
  kMailMailFrom = 8,        // "MAIL FROM"
  kMailRcptTo = 9,          // "RCPT TO": a recipient was refused, or there was none
  kMailData = 10,           // "DATA"
  kMailEndOfData = 11,      // "End of data"
  kMailQuit = 12,           // "QUIT"
  kMailServerUnknown = 13,  // "gethostbyname": the server name did not resolve
  kMailCloseProgram = 14,   // "Close sendmail": the program ended with a failure
  kMailUnknown = 15,        // "Unknown Error": a command could not be sent whole
  kMailTimeout = 16,        // "Connection timeout": the connect or a reply wait ran out
  kMailAllocation = 17,     // "Allocation Memory" (never produced)
};

// The text of a MailError; "Unknown Error" for codes outside the set.
const char* mailErrorText(int code);

inline constexpr uint16_t kSmtpPort = 25;
inline constexpr int kSmtpConnectSeconds = 15;
// Each server reply is read whole up to this many bytes, each chunk awaited
// at most this long.
inline constexpr size_t kSmtpReplyLimit = 149;
inline constexpr int kSmtpReplySeconds = 3;
// The longest address put into a MAIL FROM or RCPT TO command (the path limit
// of the SMTP standard); a longer one is refused by that step's code.
inline constexpr size_t kMaxSmtpAddress = 256;

// Sets BOUNDARY ("--" and 36 random characters) in vars, fills the template
// and sends the result through the program or the SMTP server that
// `transport` names. The sender and recipient are used by SMTP only.
// `programLock` is held while a mail program runs. Returns a MailError.
int sendMail(const std::string& transport, const std::string& sender, const std::string& recipient,
             std::string_view templateText, TemplateVars& vars, std::mutex& programLock);

// Runs `program -t` (from an argument vector, no shell) under programLock,
// writes the message and "\n.\n" to it and waits. 0, 1 (cannot start) or 14
// (a status other than a clean exit 0).
int sendByProgram(const std::string& program, std::string_view message, std::mutex& programLock);

// Delivers the message to `server` on port 25: greeting, HELO, MAIL FROM, one
// RCPT TO per address of `recipients` (the text is split at commas,
// semicolons and white space), DATA, the message with every line that begins
// with "." given one more "." and ended by "\r\n.\r\n", QUIT. Line ends are
// sent as they are. 0, 3, 6 to 13, 15 (a command not sent whole) or 16.
int sendBySmtp(const std::string& server, const std::string& sender, const std::string& recipients,
               std::string_view message);

// Whether a server reply holds an accepted code ("250", "220", "354" or
// "221") anywhere in its text.
bool smtpReplyOk(std::string_view reply);

}  // namespace vy

#endif  // VANTRY_NET_MAIL_H_
