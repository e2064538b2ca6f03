// Asking for passwords on a terminal, as tarpon and tarponrc both do: the
// prompts' texts, the refusals' texts, and reading without echo.
//
// Reading a password from a terminal without echo. The terminal's modes are
// restored before every return, and also when a signal ends or stops the
// process while it waits for the typing: every signal that can be caught
// and ends the process by default (Ctrl-C, Ctrl-\, a hang-up, a termination
// request, SIGALRM, SIGUSR1, SIGXCPU, a real-time signal...) restores them
// and then ends the process as it would have; Ctrl-Z and the other stop
// signals restore them while stopped and silence the echo again when the
// prompt continues.
#ifndef TARPON_PROMPT_PASSWORD_PROMPT_H_
#define TARPON_PROMPT_PASSWORD_PROMPT_H_

#include "contract/host_field.h"

// The prompts: the old password once, the new one twice.
constexpr char PASSWORD_PROMPT_OLD[] =
    "Old password please ..................:";
constexpr char PASSWORD_PROMPT_NEW[] =
    "New password please ..................:";
constexpr char PASSWORD_PROMPT_VERIFY[] =
    "New password again for verification...:";

// The longest password the host takes; longer entries are refused.
constexpr int PASSWORD_PROMPT_HOST_LENGTH = static_cast<int>(kHostFieldLength);

// Results of read_password_from_terminal.
enum PasswordPromptResult {
  PASSWORD_PROMPT_OK = 0,
  PASSWORD_PROMPT_NO_TERMINAL = 1,  // inFd is no terminal, or its echo
                                    // cannot be switched off
  PASSWORD_PROMPT_EMPTY = 2,        // an empty line, or the input ended
  PASSWORD_PROMPT_TOO_LONG = 3,     // more than maxLength characters typed
  PASSWORD_PROMPT_MISMATCH = 4,     // the verification differs
};

// The longest password the prompt takes at all; a larger maxLength is
// lowered to it.
constexpr int PASSWORD_PROMPT_MAX_LENGTH = 64;

// Switches the echo of the terminal inFd off, writes prompt to outFd and
// reads one line from inFd; with a verificationPrompt (may be null) asks a
// second time and compares. On PASSWORD_PROMPT_OK destination (at least
// maxLength + 1 bytes) holds the password, terminated; on any other result
// it is unchanged. The typed text is wiped from the function's own buffers
// before it returns. Not re-entrant: it owns the process's handlers of those
// signals while it reads, and puts the previous ones back afterwards; a
// signal that the process ignores stays ignored.
int read_password_from_terminal(int inFd, int outFd, char* destination,
                                int maxLength, const char* prompt,
                                const char* verificationPrompt);

// Writes the message that tells the user why result was refused (EMPTY,
// TOO_LONG or MISMATCH) into text (size bytes, always terminated); for any
// other result it writes an empty text.
void password_prompt_refusal_text(int result, int maxLength, char* text,
                                  int size);

// Asks on the terminal of standard input: flushes standard output, writes
// the prompt to that terminal itself (opened by its name, so that the
// prompt shows even when standard output is redirected; standard error if
// it cannot be opened) and reads as read_password_from_terminal does. A
// refused entry (EMPTY, TOO_LONG, MISMATCH) has its refusal text printed on
// standard output. Returns read_password_from_terminal's result.
int prompt_password_on_terminal(char* destination, int maxLength,
                                const char* prompt,
                                const char* verificationPrompt);

#endif  // TARPON_PROMPT_PASSWORD_PROMPT_H_
