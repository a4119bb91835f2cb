#include "testfiles.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

TempDir::TempDir()
{
    const char* pszBase = getenv("TMPDIR");
    std::string pattern = std::string(pszBase && *pszBase ? pszBase : "/tmp") + "/velnora-test-XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    path = pattern;
}

TempDir::~TempDir()
{
    RemoveTree(path);
}

void WriteFile(const std::string& path, const std::string& content)
{
    std::ofstream file(path, std::ios::binary);
    file << content;
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& content)
{
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(content.data()), std::streamsize(content.size()));
}

std::string ReadText(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<std::string> ListDir(const std::string& path)
{
    std::vector<std::string> names;
    DIR* dir = opendir(path.c_str());
    if (!dir)
        return names;
    while (dirent* entry = readdir(dir))
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
            names.push_back(entry->d_name);
    closedir(dir);
    return names;
}

void MakeDirs(const std::string& path)
{
    for (size_t pos = 1; pos != std::string::npos;) {
        pos = path.find('/', pos + 1);
        mkdir(path.substr(0, pos).c_str(), 0755);
    }
}

void RemoveTree(const std::string& path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return;
    if (S_ISDIR(st.st_mode)) {
        chmod(path.c_str(), 0700);
        for (const std::string& name : ListDir(path))
            RemoveTree(path + "/" + name);
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

void WriteModelTables(const std::string& root, const std::string& printer, const std::string& imagingArea,
                      const std::string& paperDimension)
{
    const std::string dir = root + "/" + printer + "/bin/inf";
    MakeDirs(dir);
    WriteFile(dir + "/ImagingArea", imagingArea);
    WriteFile(dir + "/PaperDimension", paperDimension);
}

RgbImage MakeImage(int nWidth, int nHeight, const std::function<void(int, int, uint8_t*)>& paint)
{
    RgbImage image{nWidth, nHeight, std::vector<uint8_t>(size_t(nWidth) * size_t(nHeight) * 3)};
    for (int y = 0; y < nHeight; ++y)
        for (int x = 0; x < nWidth; ++x)
            paint(x, y, &image.pixels[(size_t(y) * size_t(nWidth) + size_t(x)) * 3]);
    return image;
}

RgbImage SolidImage(int nWidth, int nHeight, uint8_t r, uint8_t g, uint8_t b)
{
    return MakeImage(nWidth, nHeight, [=](int, int, uint8_t* p) {
        p[0] = r;
        p[1] = g;
        p[2] = b;
    });
}

std::vector<uint8_t> PpmPage(const RgbImage& image)
{
    std::vector<uint8_t> page = Bytes("P6\n" + std::to_string(image.nWidth) + " " + std::to_string(image.nHeight) + "\n255\n");
    page.insert(page.end(), image.pixels.begin(), image.pixels.end());
    return page;
}

std::vector<uint8_t> Concat(const std::vector<std::vector<uint8_t>>& parts)
{
    std::vector<uint8_t> all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

std::vector<uint8_t> Bytes(const std::string& text)
{
    return std::vector<uint8_t>(text.begin(), text.end());
}

std::vector<uint8_t> Gzip(const std::vector<uint8_t>& data)
{
    z_stream z{};
    deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    std::vector<uint8_t> out(deflateBound(&z, data.size()) + 32);
    z.next_in = const_cast<uint8_t*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    if (deflate(&z, Z_FINISH) != Z_STREAM_END)
        throw std::runtime_error("deflate failed");
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::vector<uint8_t> GrayPixels(const RgbImage& image)
{
    return GrayOfRgb(image.pixels);
}

RgbImage Turned(const RgbImage& image)
{
    RgbImage turned = image;
    turned.pixels = TurnedRgb(image.pixels);
    return turned;
}

std::vector<std::string> StagedFilesOf(int nPid)
{
    const std::string prefix = "ec_tmppage_" + std::to_string(nPid) + "_";
    std::vector<std::string> found;
    for (const std::string& name : ListDir("/tmp"))
        if (name.rfind(prefix, 0) == 0)
            found.push_back(name);
    return found;
}
