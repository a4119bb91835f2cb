// testfiles: what the filter's tests write and read: a private temporary folder removed
// with everything in it, settings files, model tables and PPM pages.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "pixels.h"

// A folder made with mkdtemp and removed, with its contents, by the destructor.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path; }
    std::string operator/(const std::string& name) const { return path + "/" + name; }

private:
    std::string path;
};

void WriteFile(const std::string& path, const std::string& content);
void WriteBytes(const std::string& path, const std::vector<uint8_t>& content);
std::string ReadText(const std::string& path);
// Names in a folder, "." and ".." left out.
std::vector<std::string> ListDir(const std::string& path);
void MakeDirs(const std::string& path);
// Removes a file or a folder with everything in it.
void RemoveTree(const std::string& path);

// The model's tables under root/printer/bin/inf/.
void WriteModelTables(const std::string& root, const std::string& printer,
                      const std::string& imagingArea, const std::string& paperDimension);

// A page's pixels: width x height RGB samples, top row first.
struct RgbImage {
    int nWidth = 0;
    int nHeight = 0;
    std::vector<uint8_t> pixels;
};
RgbImage MakeImage(int nWidth, int nHeight, const std::function<void(int x, int y, uint8_t* rgb)>& paint);
RgbImage SolidImage(int nWidth, int nHeight, uint8_t r, uint8_t g, uint8_t b);
// "P6\n<w> <h>\n255\n" and the pixels.
std::vector<uint8_t> PpmPage(const RgbImage& image);
std::vector<uint8_t> Concat(const std::vector<std::vector<uint8_t>>& parts);
std::vector<uint8_t> Bytes(const std::string& text);
// One gzip member of the data (zlib's default level, window bits 31).
std::vector<uint8_t> Gzip(const std::vector<uint8_t>& data);

// The image's gray pixels (GrayOfPixel, pixels.h).
std::vector<uint8_t> GrayPixels(const RgbImage& image);
// The image turned by 180 degrees (TurnedRgb, pixels.h).
RgbImage Turned(const RgbImage& image);

// Staged page files of the filter that are left in /tmp ("ec_tmppage_<pid>_*").
std::vector<std::string> StagedFilesOf(int nPid);
