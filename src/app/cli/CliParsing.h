#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace quorlinth::cli {

// The parser's own texts in Chinese: help labels, and usage errors that name the option.
void useChineseTexts(CLI::App& app);
std::string usageErrorText(const CLI::App& app, const CLI::ParseError& error);

// Checks with Chinese messages, so that a bad value is explained in the product's language.
CLI::Validator oneOf(const std::string& values, const std::string& explanation);
CLI::Validator nonNegativeNumber();

// A password: the given one, else read from the terminal without echo, else one line of stdin.
std::string secretOrPrompt(const std::string& given, const std::string& prompt);

} // namespace quorlinth::cli
