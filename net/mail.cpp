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
constexpr std::string_view kRecipientSeparators = ",; \t\r\n\v\f";
constexpr std::string_view kBlanks = " \t";

constexpr const char* kAcceptedCodes[] = {"250", "220", "354", "221"};
constexpr size_t kBoundaryLength = 36;

// One exchange of the dialogue: the text sent (empty for the greeting, which
// is only awaited) and the code that ends the mail when the reply is refused.
struct SmtpStep {
  std::string command;
  MailError refusedCode;
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
MailError buildDialogue(const std::string& sender, const std::vector<std::string>& addresses,
                        std::string_view message, std::vector<SmtpStep>& steps) {
  steps.push_back({"", MailError::kHelo});
  steps.push_back({"HELO localhost\r\n", MailError::kHelo});
  if (!fitsCommand(sender)) return MailError::kMailFrom;
  steps.push_back({"MAIL FROM: <" + sender + ">\r\n", MailError::kMailFrom});
  if (addresses.empty()) return MailError::kRcptTo;
  for (const std::string& address : addresses) {
    if (!fitsCommand(address)) return MailError::kRcptTo;
    steps.push_back({"RCPT TO: <" + address + ">\r\n", MailError::kRcptTo});
  }
  steps.push_back({"DATA\r\n", MailError::kData});
  steps.push_back({dotStuffed(message) + "\r\n.\r\n", MailError::kEndOfData});
  steps.push_back({"QUIT\r\n", MailError::kQuit});
  return MailError::kOk;
}

// The one way a socket step's failure becomes a mail error.
MailError mailError(SocketError error) {
  switch (error) {
    case SocketError::kOk:
      return MailError::kOk;
    case SocketError::kNameUnknown:
      return MailError::kServerUnknown;
    case SocketError::kNoSocket:
    case SocketError::kReceiveFailed:
      return MailError::kSocketError;
    case SocketError::kTimedOut:
      return MailError::kTimeout;
    case SocketError::kConnectFailed:
      return MailError::kConnectError;
  }
  return MailError::kConnectError;
}

// Sends the step's command and judges the reply.
MailError runStep(int fd, const SmtpStep& step) {
  if (!step.command.empty() && !sendText(fd, step.command)) return MailError::kUnknown;
  std::string reply;
  const SocketError rc = readReply(fd, reply, kSmtpReplyLimit, kSmtpReplyWait);
  if (rc != SocketError::kOk) return mailError(rc);
  return smtpReplyOk(reply) ? MailError::kOk : step.refusedCode;
}

}  // namespace

const char* mailErrorText(MailError error) {
  const int code = static_cast<int>(error);
  if (code < 0 || code >= kMailErrorCount)
    return kMailErrorTexts[static_cast<int>(MailError::kUnknown)];
  return kMailErrorTexts[code];
}

ErrAction logAction(MailError error) {
  // Each line keeps the number that failed mails have always been logged
  // with, whatever the action of that number is called.
  switch (error) {
    case MailError::kOk:
      return ErrAction::kOk;
    case MailError::kOpenProgram:
      return ErrAction::kReadFile;  // 1
    case MailError::kSocketError:
      return ErrAction::kCreateDirectory;  // 3
    case MailError::kConnectError:
      return ErrAction::kAppendFile;  // 6
    case MailError::kHelo:
      return ErrAction::kRemoveFile;  // 7
    case MailError::kMailFrom:
      return ErrAction::kLockFile;  // 8
    case MailError::kRcptTo:
      return ErrAction::kUnlockFile;  // 9
    case MailError::kData:
      return ErrAction::kOpenDir;  // 10
    case MailError::kEndOfData:
      return ErrAction::kChangePermissions;  // 11
    case MailError::kQuit:
      return ErrAction::kShortRead;  // 12
    case MailError::kServerUnknown:
      return ErrAction::kShortWrite;  // 13
    case MailError::kCloseProgram:
      return ErrAction::kMailCloseProgram;  // 14
    case MailError::kUnknown:
      return ErrAction::kMailUnknown;  // 15
    case MailError::kTimeout:
      return ErrAction::kMailTimeout;  // 16
  }
  return ErrAction::kMailUnknown;
}

bool smtpReplyOk(std::string_view reply) {
  for (const char* code : kAcceptedCodes) {
    if (reply.find(code) != std::string_view::npos) return true;
  }
  return false;
}

Status<MailError> sendBySmtp(const std::string& server, const std::string& sender,
                             const std::string& recipients, std::string_view message,
                             const HostTable& hosts) {
  std::vector<SmtpStep> steps;
  MailError rc =
      buildDialogue(sender, splitWords(recipients, kRecipientSeparators), message, steps);
  if (rc != MailError::kOk) return {rc, server};
  UniqueFd socket;
  rc = mailError(connectToHost(server, kSmtpPort, hosts, kSmtpConnectWait, socket).code);
  for (size_t at = 0; rc == MailError::kOk && at < steps.size(); ++at) {
    rc = runStep(socket.get(), steps[at]);
  }
  return {rc, server};
}

Status<MailError> sendByProgram(const std::string& program, std::string_view message,
                                std::mutex& programLock) {
  std::vector<std::string> argv = splitWords(program, kBlanks);
  argv.push_back("-t");
  std::string input(message);
  input += "\n.\n";
  std::lock_guard<std::mutex> hold(programLock);
  // A program that stops reading early is judged by its exit status alone.
  ProgramRun run = runProgramWithInput(argv, input);
  if (!run.started) return {MailError::kOpenProgram, program};
  return {run.succeeded() ? MailError::kOk : MailError::kCloseProgram, program};
}

Status<MailError> sendMail(const std::string& transport, const std::string& sender,
                           const std::string& recipient, std::string_view templateText,
                           TemplateVars& vars, const HostTable& hosts, std::mutex& programLock) {
  vars.set("BOUNDARY", "--" + randomText(kBoundaryLength));
  const std::string message = substituteSection(templateText, vars);
  if (transport.find('/') != std::string::npos) {
    return sendByProgram(transport, message, programLock);
  }
  return sendBySmtp(transport, sender, recipient, message, hosts);
}

}  // namespace vy
