// pagecheck: compares the page images of a decoded job with the pixels they were made
// from, and reports the first page and byte that differ.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <source_location>
#include <vector>

#include "testfiles.h"
#include "vnjobreader.h"

// Fails the calling test (at the caller's line) unless the job holds exactly these page
// images, in order: the same number of pages, each with the same decoded bytes.
void ExpectPages(const VnJob& job, const std::vector<std::vector<uint8_t>>& expected,
                 std::source_location where = std::source_location::current());
void ExpectPages(const VnJob& job, const std::vector<const RgbImage*>& expected,
                 std::source_location where = std::source_location::current());
// The images as a list, {&a, &b}: chosen before the vector of pixel rows, which a pair of
// pointers would also construct.
void ExpectPages(const VnJob& job, std::initializer_list<const RgbImage*> expected,
                 std::source_location where = std::source_location::current());
