// report: turns the benchmark's raw figures into its tables (markdown, readable as
// plain text too).
//
//   report META RAW
//
// META holds "key<TAB>value" lines written by run.sh (page size, runs, what was run,
// "same-stream:INPUT:MODE yes|no"); RAW one measurement a line:
//
//   run case mode kind pages wall user sys maxrss_kb bytes
//
// kind is filter, read (cat of the input; mode "-"), zlib (the floor's compression) or
// peer (libcups + gzip -6). Every figure shown is the median over the runs; per-page
// figures are the run's total divided by its pages.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

struct Sample {
    double wall = 0, user = 0, sys = 0, rssKb = 0, bytes = 0;
    long pages = 0;
    double cpu() const { return user + sys; }
};

// (case, mode, kind) -> run -> sample
using Key = std::tuple<std::string, std::string, std::string>;
std::map<Key, std::map<int, Sample>> g_raw;
std::map<std::string, std::vector<std::string>> g_meta;

constexpr double kNone = std::numeric_limits<double>::quiet_NaN();   // no figure

double Median(std::vector<double> v) {
    if (v.empty()) return kNone;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

const std::map<int, Sample>* Find(const std::string& c, const std::string& m, const std::string& k) {
    auto it = g_raw.find(Key{c, m, k});
    return it == g_raw.end() ? nullptr : &it->second;
}

template <class F>
double Med(const std::map<int, Sample>* runs, F f) {
    std::vector<double> v;
    if (runs)
        for (auto& [run, s] : *runs) v.push_back(f(s));
    return Median(v);
}

long Pages(const std::map<int, Sample>* runs) {
    return runs && !runs->empty() ? runs->begin()->second.pages : 0;
}

std::string Fmt(const char* f, double v) {
    if (std::isnan(v)) return "-";
    char b[64];
    std::snprintf(b, sizeof b, f, v);
    return b;
}

std::string Meta(const std::string& key, size_t i = 0) {
    auto it = g_meta.find(key);
    return it != g_meta.end() && i < it->second.size() ? it->second[i] : "";
}

// Prints a markdown table with padded columns; numbers are right-aligned.
void Table(const std::vector<std::string>& head, const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> w(head.size());
    for (size_t i = 0; i < head.size(); i++) w[i] = head[i].size();
    for (auto& r : rows)
        for (size_t i = 0; i < r.size() && i < w.size(); i++) w[i] = std::max(w[i], r[i].size());
    // a column is right-aligned when every cell of it starts like a number
    std::vector<bool> right(head.size(), true);
    for (auto& r : rows)
        for (size_t i = 0; i < r.size() && i < w.size(); i++)
            if (r[i].empty() || !(std::isdigit((unsigned char)r[i][0]) || r[i][0] == '-' || r[i][0] == '+'))
                right[i] = false;
    auto line = [&](const std::vector<std::string>& r, bool header) {
        std::string s = "|";
        for (size_t i = 0; i < w.size(); i++) {
            std::string c = i < r.size() ? r[i] : "";
            std::string pad(w[i] - c.size(), ' ');
            s += " " + (right[i] && !header ? pad + c : c + pad) + " |";
        }
        std::cout << s << "\n";
    };
    line(head, true);
    std::string sep = "|";
    for (size_t i = 0; i < w.size(); i++)
        sep += (right[i] ? std::string(w[i] + 1, '-') + ":" : std::string(w[i] + 2, '-')) + "|";
    std::cout << sep << "\n";
    for (auto& r : rows) line(r, false);
    std::cout << "\n";
}

constexpr double kMiB = 1024.0;   // ru_maxrss is in KiB

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: report META RAW\n";
        return 2;
    }
    {
        std::ifstream f(argv[1]);
        if (!f) { std::cerr << "report: cannot read " << argv[1] << "\n"; return 1; }
        std::string l;
        while (std::getline(f, l)) {
            std::vector<std::string> parts;
            std::stringstream ss(l);
            std::string p;
            while (std::getline(ss, p, '\t')) parts.push_back(p);
            if (parts.empty()) continue;
            std::string key = parts[0];
            parts.erase(parts.begin());
            g_meta[key] = parts;
        }
    }
    {
        std::ifstream f(argv[2]);
        if (!f) { std::cerr << "report: cannot read " << argv[2] << "\n"; return 1; }
        std::string l;
        while (std::getline(f, l)) {
            if (l.empty() || l[0] == '#') continue;
            std::stringstream ss(l);
            int run;
            std::string c, m, k;
            Sample s;
            if (!(ss >> run >> c >> m >> k >> s.pages >> s.wall >> s.user >> s.sys >> s.rssKb >> s.bytes)) {
                std::cerr << "report: bad line: " << l << "\n";
                return 1;
            }
            g_raw[Key{c, m, k}][run] = s;
        }
    }

    const double width = std::stod(Meta("width").empty() ? "0" : Meta("width"));
    const double height = std::stod(Meta("height").empty() ? "0" : Meta("height"));
    std::vector<std::string> inputs, modes;
    {
        std::stringstream a(Meta("inputs")), b(Meta("modes"));
        std::string s;
        while (a >> s) inputs.push_back(s);
        while (b >> s) modes.push_back(s);
    }

    std::cout << "## Velnora filter benchmark\n\n";
    std::cout << "Date " << Meta("date") << ", commit " << Meta("commit") << ", filter " << Meta("filter")
              << "\n" << Meta("cpu") << ", " << Meta("cores") << " cores. Runs: " << Meta("runs")
              << ", taken in turn; figures are medians. A4 pages at 600 dpi (" << Meta("width") << " x " << Meta("height")
              << "). CPU = user + system seconds.\n\n";

    // The main table.
    std::vector<std::vector<std::string>> rows, mem;
    for (auto& in : inputs) {
        auto rd = Find(in, "-", "read");
        for (auto& md : modes) {
            auto fl = Find(in, md, "filter");
            auto zl = Find(in, md, "zlib");
            auto pe = Find(in, md, "peer");
            if (!fl) continue;
            double pages = (double)Pages(fl);
            double fcpu = Med(fl, [](const Sample& s) { return s.cpu(); }) / pages;
            double fwall = Med(fl, [](const Sample& s) { return s.wall; }) / pages;
            double frss = Med(fl, [](const Sample& s) { return s.rssKb; }) / kMiB;
            double fbytes = Med(fl, [](const Sample& s) { return s.bytes; }) / pages;
            double rcpu = Med(rd, [](const Sample& s) { return s.cpu(); }) / pages;
            double zcpu = Med(zl, [](const Sample& s) { return s.cpu(); }) / pages;
            // floor: the same run's read and compression, added before the median
            std::vector<double> fv;
            if (rd && zl)
                for (auto& [run, z] : *zl) {
                    auto r = rd->find(run);
                    if (r != rd->end()) fv.push_back(r->second.cpu() + z.cpu());
                }
            double floor = Median(fv) / pages;
            double pcpu = Med(pe, [](const Sample& s) { return s.cpu(); }) / pages;
            double pbytes = Med(pe, [](const Sample& s) { return s.bytes; }) / pages;
            std::string same = Meta("same-stream:" + in + ":" + md);
            rows.push_back({in, md == "rgb" ? "colour" : md, Fmt("%.0f", pages), Fmt("%.3f", fcpu),
                            Fmt("%.3f", fwall), Fmt("%.1f", frss), Fmt("%.1f", fbytes / 1024),
                            Fmt("%.3f", floor) + " (" + Fmt("%.3f", rcpu) + " + " + Fmt("%.3f", zcpu) + ")",
                            same.empty() ? "-" : same,
                            Fmt("%.3f", pcpu), Fmt("%.1f", pbytes / 1024),
                            floor > 0 ? Fmt("%.2f", fcpu / floor) : "-",
                            pcpu > 0 ? Fmt("%.2f", fcpu / pcpu) : "-"});   // NaN > 0 is false
            double budget = width * height * 3 / (1024.0 * 1024.0) + 16;
            mem.push_back({in, md == "rgb" ? "colour" : md, Fmt("%.1f", frss), Fmt("%.1f", budget),
                           std::isnan(frss) ? "-" : frss <= budget ? "yes" : "NO", Fmt("%+.1f", frss - budget)});
        }
    }
    std::cout << "### Cost per page: filter, floor, peer\n\n";
    Table({"input", "mode", "pages", "filter CPU s/page", "filter wall s/page", "filter peak RSS MiB",
           "job KiB/page", "floor CPU s/page (read + zlib)", "same stream", "peer CPU s/page",
           "peer KiB/page", "filter/floor", "filter/peer"},
          rows);
    std::cout << "floor: `cat INPUT > /dev/null` plus zlib with the job's setting (level -1, window bits 31, "
                 "memory level 8, 1024-byte blocks) over the filter's own PWG document; \"same stream\": the "
                 "floor's gzip stream is byte for byte the job's. peer: libcups PWG raster writer | gzip -6 "
                 "(both processes). Ratios are of CPU.\n\n";

    std::cout << "### Filter peak memory against one page buffer (width x height x 3) + 16 MiB\n\n";
    Table({"input", "mode", "peak RSS MiB", "limit MiB", "within", "RSS - limit MiB"}, mem);

    // Growth: 1 page against N pages, and uncollated copies.
    std::vector<std::vector<std::string>> grow;
    auto growRow = [&](const std::string& label, const std::string& c, const std::string& md,
                       const std::string& base, long copies) {
        auto g = Find(c, md, "filter");
        if (!g) return;
        auto b = Find(base, md, "filter");
        double pages = (double)Pages(g);
        double printed = pages * (double)copies;
        double cpu = Med(g, [](const Sample& s) { return s.cpu(); });
        double rss = Med(g, [](const Sample& s) { return s.rssKb; }) / kMiB;
        double bcpu = b ? Med(b, [](const Sample& s) { return s.cpu(); }) / (double)Pages(b) : kNone;
        double brss = b ? Med(b, [](const Sample& s) { return s.rssKb; }) / kMiB : kNone;
        grow.push_back({label, md == "rgb" ? "colour" : md, Fmt("%.0f", pages), Fmt("%.0f", printed),
                        Fmt("%.3f", cpu), Fmt("%.3f", cpu / printed), Fmt("%.1f", rss),
                        b && b != g ? Fmt("%.2f", (cpu / printed) / bcpu) : "-",
                        b && b != g ? Fmt("%+.1f", std::fabs(rss - brss) < 0.05 ? 0.0 : rss - brss) : "-"});
    };
    std::string gm = Meta("growth-mode");
    if (!gm.empty()) {
        std::string n = Meta("growth-pages");
        for (std::string in : {"white", "text"}) {
            growRow(in + ", 1 page", in + "-1", gm, in + "-1", 1);
            growRow(in + ", " + n + " pages", in + "-" + n, gm, in + "-1", 1);
        }
        std::string cp = Meta("copies");
        growRow("text, Copies=" + cp + " uncollated", "text-copies", gm, "text-1", std::stol(cp.empty() ? "1" : cp));
        if (!grow.empty()) {
            std::cout << "### Growth: 1 page against many, and uncollated copies\n\n";
            Table({"job", "mode", "input pages", "pages printed", "CPU s", "CPU s/printed page",
                   "peak RSS MiB", "CPU/page vs 1 page", "RSS vs 1 page MiB"},
                  grow);
            std::cout << "A filter whose cost grows with the job shows a CPU/page ratio above 1 or RSS rising "
                         "with the pages; copies are sent page by page from a temporary copy file.\n";
        }
    }
    return 0;
}
