// queuemessage: the queue filter's exit statuses and its lines for the spooler. Every
// unit of the queue filter reports through Say, Refuse and Fail, so a message is written
// whole in one place.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

constexpr int kStatusPrinted = 0;
constexpr int kStatusFailed = 1;    // may print later: files, folders, programs
constexpr int kStatusRefused = 2;   // can never print: the spooler drops the job

// One message line for the spooler on standard error, written whole.
void Say(const std::string& text);
// Says "ERROR: " and the text; returns kStatusRefused.
int Refuse(const std::string& text);
// Says "ERROR: " and the text; returns kStatusFailed.
int Fail(const std::string& text);

// Text from a user or a document shown in a message: printable ASCII as it is, other
// bytes as \xNN, at most nMax bytes, so it cannot break the message line.
std::string Printable(std::string_view text, size_t nMax = 40);
