#pragma once
// Text that came from the user (option values, plan fields, file names), as it is quoted in
// messages: a 1 MB field must not become 1 MB of stderr, and escape sequences in it must not
// reach the terminal.

#include <string>

#include <QString>

namespace vqx::cli {

/// How many characters of a user's text a message quotes.
inline constexpr int kShownChars = 60;
/// How much of a message that quotes the user's text the tool passes on as it is (the
/// command-line parser's messages).
inline constexpr int kShownMessageChars = 300;

/// The text with control and format characters escaped (\n, \r, \t, \e, \xNN, \uNNNN) and
/// cut after `limit` characters of the original, "..." marking the cut.
QString shown(const QString& text, int limit = kShownChars);
QString shown(const std::string& utf8, int limit = kShownChars);

/// Whether the text is a plain decimal number: digits only, no sign, blank or base prefix,
/// and no leading zero ("0" itself is one).
bool isPlainDecimal(const QString& text);

} // namespace vqx::cli
