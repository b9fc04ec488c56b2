// Running external commands: through the shell, or directly with an argument vector.
#pragma once

#include <cstddef>

// Runs a command line through the shell. 0, the exit status (1..255), or -1
// when the shell could not run or the command was ended by a signal.
// Standard input is /dev/null: nothing run this way can wait for a person.
int UpdateSystem(const char *pszCmd);
// The same with the terminal kept as standard input, for a program that may
// have to ask its user.
int UpdateSystemInteractive(const char *pszCmd);

// Splits a command line at blanks and tabs (at most 30 words of at most 63
// characters, line below 512) and runs the first word as the program, no shell.
int UpdateExecCmd(const char *pszCmd);

// Runs a NULL-terminated vector whose first entry is the program path and
// waits for it: its exit status, or -1 (failed start, killed by a signal).
int UpdateExecArgv(char *const apszArgv[]);

// How many processes run under this program name (as pidof lists them), or -1.
int FUNC_CountPid(const char *pszName);

// Text that reaches a shell command line from outside (command line, package,
// server) goes through here. A value made only of letters, digits and
// "/._-:@%+,=" is copied unchanged, so ordinary command lines stay exactly as
// the device expects them; anything else becomes one single-quoted shell word.
// Returns 0, or -1 (empty output) when the quoted form does not fit.
int ShellQuote(const char *pszValue, char *pszOut, size_t ulOutSize);

template <size_t N>
inline int ShellQuote(const char *pszValue, char (&szOut)[N])
{
    return ShellQuote(pszValue, szOut, N);
}

// ShellQuote for a tool argument: an empty value becomes '' so that it still
// is a word of its own and the tool does not take the next argument instead.
int ShellWord(const char *pszValue, char *pszOut, size_t ulOutSize);

template <size_t N>
inline int ShellWord(const char *pszValue, char (&szOut)[N])
{
    return ShellWord(pszValue, szOut, N);
}

// The password word of a logged command line: masked, or the empty word.
inline const char *LoggedPasswordWord(const char *pszPassword)
{
    return (pszPassword != nullptr && pszPassword[0] != '\0') ? "******" : "''";
}

// How a password is shown wherever a logged text carries it.
inline const char *MaskedPassword(const char *pszPassword)
{
    return (pszPassword != nullptr && pszPassword[0] != '\0') ? "******" : "";
}
