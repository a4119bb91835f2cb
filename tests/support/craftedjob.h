// craftedjob: jobs built byte by byte for the tests of the job reader and the inspector,
// where the filter cannot make them: page headers with any numbers, pages of one colour
// in few line records, a PJL job around any stream, and a gzip stream of zeros far larger
// inflated than it is worth compressing in a test.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "pwgheader.h"
#include "testfiles.h"

// A page header as the filter writes it: 600 dpi, A4 in points, "auto" media, the colour
// space and line length that go with the pixel size.
inline std::vector<uint8_t> CraftedPageHeader(uint32_t nWidth, uint32_t nHeight, uint32_t nBitsPerPixel)
{
    std::vector<uint8_t> header(pwg::kHeaderBytes, 0);
    std::memcpy(header.data() + pwg::kRasterName, "PwgRaster", 9);
    std::memcpy(header.data() + pwg::kMediaType, "auto", 4);
    pwg::PutBE32(&header[pwg::kHWResX], 600);
    pwg::PutBE32(&header[pwg::kHWResY], 600);
    pwg::PutBE32(&header[pwg::kPageSizeX], 595);
    pwg::PutBE32(&header[pwg::kPageSizeY], 842);
    pwg::PutBE32(&header[pwg::kWidth], nWidth);
    pwg::PutBE32(&header[pwg::kHeight], nHeight);
    pwg::PutBE32(&header[pwg::kBitsPerColor], 8);
    pwg::PutBE32(&header[pwg::kBitsPerPixel], nBitsPerPixel);
    pwg::PutBE32(&header[pwg::kBytesPerLine], nWidth * (nBitsPerPixel / 8));
    pwg::PutBE32(&header[pwg::kColorSpace], nBitsPerPixel == 24 ? pwg::kColorSpaceSRGB : pwg::kColorSpaceSGray);
    pwg::PutBE32(&header[pwg::kNumColors], nBitsPerPixel == 24 ? 3 : 1);
    return header;
}

// The line records of a page of one colour: records of up to 256 lines, each line in
// repeat runs of up to 128 pixels.
inline std::vector<uint8_t> UniformPageRecords(uint32_t nWidth, uint32_t nHeight, uint32_t nBitsPerPixel,
                                               uint8_t nValue)
{
    std::vector<uint8_t> line;
    for (uint32_t nLeft = nWidth; nLeft > 0;) {
        const uint32_t nRun = nLeft < 128 ? nLeft : 128;
        line.push_back(uint8_t(nRun - 1));
        line.insert(line.end(), nBitsPerPixel / 8, nValue);
        nLeft -= nRun;
    }
    std::vector<uint8_t> records;
    for (uint32_t nLeft = nHeight; nLeft > 0;) {
        const uint32_t nLines = nLeft < 256 ? nLeft : 256;
        records.push_back(uint8_t(nLines - 1));
        records.insert(records.end(), line.begin(), line.end());
        nLeft -= nLines;
    }
    return records;
}

// A job around the gzip stream: the shortest PJL header and trailer the reader takes.
inline std::vector<uint8_t> CraftedJob(const std::vector<uint8_t>& stream)
{
    return Concat({Bytes("\x1b%-12345X@PJL \n@PJL ENTER LANGUAGE=PWGRASTER\n"), stream,
                   Bytes("\x1b%-12345X\x1b%-12345X\n")});
}

// A whole gzip member of nMiB mebibytes of zero bytes (about 1 KiB compressed for each).
// A mebibyte deflated up to a full flush gives the same bytes every time, so the member
// is that block nMiB times, the closing block, and the CRC and length of the whole.
inline std::vector<uint8_t> GzipOfZeros(size_t nMiB)
{
    const std::vector<uint8_t> zeros(size_t(1) << 20, 0);
    z_stream z{};
    deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);   // raw deflate
    std::vector<uint8_t> block(deflateBound(&z, zeros.size()) + 64);
    z.next_in = const_cast<uint8_t*>(zeros.data());
    z.avail_in = static_cast<uInt>(zeros.size());
    z.next_out = block.data();
    z.avail_out = static_cast<uInt>(block.size());
    deflate(&z, Z_FULL_FLUSH);
    block.resize(block.size() - z.avail_out);
    uint8_t closing[64];
    z.next_out = closing;
    z.avail_out = sizeof closing;
    deflate(&z, Z_FINISH);
    const size_t nClosing = sizeof closing - z.avail_out;
    deflateEnd(&z);

    const uLong nBlockCrc = crc32(0, zeros.data(), static_cast<uInt>(zeros.size()));
    uLong nCrc = crc32(0, nullptr, 0);
    std::vector<uint8_t> member = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3};
    for (size_t n = 0; n < nMiB; ++n) {
        member.insert(member.end(), block.begin(), block.end());
        nCrc = crc32_combine(nCrc, nBlockCrc, static_cast<z_off_t>(zeros.size()));
    }
    member.insert(member.end(), closing, closing + nClosing);
    const uint32_t nLength = static_cast<uint32_t>(nMiB << 20);
    for (uint32_t v : {static_cast<uint32_t>(nCrc), nLength})
        for (int nShift = 0; nShift < 32; nShift += 8)
            member.push_back(uint8_t(v >> nShift));   // little-endian, as gzip has it
    return member;
}
