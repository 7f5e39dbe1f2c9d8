// The mail sender; see mail.h.
//
// The SMTP client is a fixed list of steps. Each step sends one command (the
// greeting step sends nothing), reads one reply of at most 149 bytes with a
// 3-second wait per chunk, and ends the mail with its own code when the reply
// holds none of the accepted codes. Real servers drop clients that talk before
// their greeting, so the greeting is read first, and each recipient gets its
// own RCPT TO.
#include "net/mail.h"

#include <iterator>
#include <vector>

#include "common/process.h"
#include "common/text.h"
#include "net/socket.h"

namespace vy {
namespace {

constexpr const char* kMailErrorTexts[] = {
    "OK",
    "Open sendmail",
    "Invalid IP address",
    "Socket error",
    "bind",
    "Hostname lookup failed",
    "Connection error",
    "HELO",
    "MAIL FROM",
    "RCPT TO",
    "DATA",
    "End of data",
    "QUIT",
    "gethostbyname",
    "Close sendmail",
    "Unknown Error",
    "Connection timeout",
    "Allocation Memory",
};
constexpr int kMailErrorCount = static_cast<int>(std::size(kMailErrorTexts));

constexpr const char* kAcceptedCodes[] = {"250", "220", "354", "221"};
constexpr size_t kBoundaryLength = 36;

// One exchange of the dialogue: the text sent (empty for the greeting, which
// is only awaited) and the code that ends the mail when the reply is refused.
struct SmtpStep {
  std::string command;
  int refusedCode;
};

// An address fits into a command line when it is not empty, not too long and
// free of control characters (which could end the command early).
bool fitsCommand(std::string_view address) {
  if (address.empty() || address.size() > kMaxSmtpAddress) return false;
  for (unsigned char c : address) {
    if (c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

bool isRecipientSeparator(char c) {
  return c == ',' || c == ';' || c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' ||
         c == '\f';
}

// The addresses of a recipient text: the pieces between commas, semicolons
// and white space, empty pieces dropped.
std::vector<std::string> splitRecipients(std::string_view recipients) {
  std::vector<std::string> addresses;
  size_t start = 0;
  for (size_t i = 0; i <= recipients.size(); ++i) {
    if (i < recipients.size() && !isRecipientSeparator(recipients[i])) continue;
    if (i > start) addresses.emplace_back(recipients.substr(start, i - start));
    start = i + 1;
  }
  return addresses;
}

// The message with one more "." in front of every line that begins with ".",
// so that no line of it can end the mail early.
std::string dotStuffed(std::string_view message) {
  std::string out;
  out.reserve(message.size() + 16);
  bool lineStart = true;
  for (char c : message) {
    if (lineStart && c == '.') out += '.';
    out += c;
    lineStart = c == '\n';
  }
  return out;
}

// The steps of one mail, or the refusal code of an address that cannot be
// put into its command (then `steps` is left incomplete).
int buildDialogue(const std::string& sender, const std::vector<std::string>& addresses,
                  std::string_view message, std::vector<SmtpStep>& steps) {
  steps.push_back({"", kMailHelo});
  steps.push_back({"HELO localhost\r\n", kMailHelo});
  if (!fitsCommand(sender)) return kMailMailFrom;
  steps.push_back({"MAIL FROM: <" + sender + ">\r\n", kMailMailFrom});
  if (addresses.empty()) return kMailRcptTo;
  for (const std::string& address : addresses) {
    if (!fitsCommand(address)) return kMailRcptTo;
    steps.push_back({"RCPT TO: <" + address + ">\r\n", kMailRcptTo});
  }
  steps.push_back({"DATA\r\n", kMailData});
  steps.push_back({dotStuffed(message) + "\r\n.\r\n", kMailEndOfData});
  steps.push_back({"QUIT\r\n", kMailQuit});
  return kMailOk;
}

// Sends the step's command and judges the reply.
int runStep(int fd, const SmtpStep& step) {
  if (!step.command.empty() &&
      sendText(fd, step.command) != static_cast<long>(step.command.size())) {
    return kMailUnknown;
  }
  std::string reply;
  int rc = readReply(fd, reply, kSmtpReplyLimit, kSmtpReplySeconds);
  if (rc == kHttpTimeout) return kMailTimeout;
  if (rc != kHttpOk) return kMailSocketError;
  return smtpReplyOk(reply) ? kMailOk : step.refusedCode;
}

// Resolves and connects as the HTTP client does, with the mail codes.
int connectToServer(const std::string& server, UniqueFd& socket) {
  int rc = connectToHost(server, kSmtpPort, kSmtpConnectSeconds, socket);
  if (rc == kHttpLookupFailed) return kMailServerUnknown;
  if (rc == kHttpSocketError) return kMailSocketError;
  if (rc == kHttpTimeout) return kMailTimeout;
  return rc == kHttpOk ? kMailOk : kMailConnectError;
}

}  // namespace

const char* mailErrorText(int code) {
  if (code < 0 || code >= kMailErrorCount) return kMailErrorTexts[kMailUnknown];
  return kMailErrorTexts[code];
}

bool smtpReplyOk(std::string_view reply) {
  for (const char* code : kAcceptedCodes) {
    if (reply.find(code) != std::string_view::npos) return true;
  }
  return false;
}

int sendBySmtp(const std::string& server, const std::string& sender, const std::string& recipients,
               std::string_view message) {
  std::vector<SmtpStep> steps;
  int rc = buildDialogue(sender, splitRecipients(recipients), message, steps);
  if (rc != kMailOk) return rc;
  UniqueFd socket;
  rc = connectToServer(server, socket);
  if (rc != kMailOk) return rc;
  for (const SmtpStep& step : steps) {
    rc = runStep(socket.get(), step);
    if (rc != kMailOk) return rc;
  }
  return kMailOk;
}

int sendByProgram(const std::string& program, std::string_view message, std::mutex& programLock) {
  std::lock_guard<std::mutex> hold(programLock);
  ChildProcess child;
  if (!child.start({program, "-t"}, ChildProcess::kPipeStdin)) return kMailOpenProgram;
  // A program that stops reading early is judged by its exit status alone.
  if (child.writeStdin(message)) child.writeStdin("\n.\n");
  return child.wait() == 0 ? kMailOk : kMailCloseProgram;
}

int sendMail(const std::string& transport, const std::string& sender, const std::string& recipient,
             std::string_view templateText, TemplateVars& vars, std::mutex& programLock) {
  templateVarSet(vars, "BOUNDARY", "--%s", randomText(kBoundaryLength).c_str());
  const std::string message = substituteSection(templateText, vars);
  if (transport.find('/') != std::string::npos) {
    return sendByProgram(transport, message, programLock);
  }
  HostTableScope hosts;
  return sendBySmtp(transport, sender, recipient, message);
}

}  // namespace vy
