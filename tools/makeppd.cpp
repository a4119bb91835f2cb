// makeppd: writes one PPD for each printer model, at build time, from the parameter table,
// the paper-information file and the model's tables, so a queue's choices are the ones
// the filter takes.
//
//   makeppd PAPERINFO MODELROOT DEFAULTS.rc OUTDIR
//
// Every folder MODELROOT/<Model> with bin/inf/PaperDimension gets OUTDIR/<Model>.ppd.
// Page sizes: the parameter table's words that the paper-information file and the
// model's PaperDimension table list; the imageable area from its ImagingArea table (left,
// top, right and bottom margins in points). The defaults are DEFAULTS.rc's settings.
// Exit status 0, or 1 when a file cannot be read or written (reported).
#include <cstdio>
#include <dirent.h>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "papertable.h"
#include "fileptr.h"
#include "ppdchoices.h"
#include "vnfiletool.h"
#include "vnresource.h"

// The defaults rc's word of a row, or its first choice.
static std::string DefaultWord(int nRow)
{
    const ParamEntry& row = tblVnParams[nRow];
    return row.pCmdItem[row.nIndex >= 0 ? row.nIndex : 0];
}

struct PpdWriter {
    std::string text;
    void Line(const std::string& line) { text += line + "\n"; }
};

static void OpenUi(PpdWriter* pOut, const char* pszKey, const char* pszLabel, const char* pszKind, int nOrder,
                   const std::string& defChoice)
{
    pOut->Line(std::string("*OpenUI *") + pszKey + "/" + pszLabel + ": " + pszKind);
    pOut->Line("*OrderDependency: " + std::to_string(nOrder) + " AnySetup *" + pszKey);
    pOut->Line(std::string("*Default") + pszKey + ": " + defChoice);
}

static void CloseUi(PpdWriter* pOut, const char* pszKey)
{
    pOut->Line(std::string("*CloseUI: *") + pszKey);
    pOut->Line("");
}

// An option whose choices are a row's words, labelled with the row's labels.
static void WriteRowOption(PpdWriter* pOut, const char* pszKey, const char* pszLabel, int nRow, int nOrder)
{
    const ParamEntry& row = tblVnParams[nRow];
    OpenUi(pOut, pszKey, pszLabel, "PickOne", nOrder, DefaultWord(nRow));
    for (int i = 0; i < row.nItemCount; ++i)
        pOut->Line(std::string("*") + pszKey + " " + row.pCmdItem[i] + "/" + row.pPrmItem[i] + ": \"\"");
    CloseUi(pOut, pszKey);
}

// An option whose choices map onto a row's words.
static void WriteMappedOption(PpdWriter* pOut, const char* pszKey, const char* pszLabel, const char* pszKind,
                              int nRow, std::span<const PpdChoice> choices, int nOrder)
{
    const std::string defWord = DefaultWord(nRow);
    std::string defChoice = choices[0].pszChoice;
    for (const PpdChoice& choice : choices)
        if (defWord == choice.pszWord)
            defChoice = choice.pszChoice;
    OpenUi(pOut, pszKey, pszLabel, pszKind, nOrder, defChoice);
    for (const PpdChoice& choice : choices)
        pOut->Line(std::string("*") + pszKey + " " + choice.pszChoice + "/" + choice.pszLabel + ": \"\"");
    CloseUi(pOut, pszKey);
}

static void WritePageSizes(PpdWriter* pOut, const PaperTable& rasters, const PaperTable& sheets,
                           const PaperTable& areas)
{
    const ParamEntry& row = tblVnParams[kRowPageSize];
    std::vector<int> sizes;
    for (int i = 0; i < row.nItemCount; ++i)
        if (rasters.count(row.pCmdItem[i]) && sheets.count(row.pCmdItem[i]))
            sizes.push_back(i);
    const std::string defWord = DefaultWord(kRowPageSize);
    for (const char* pszKey : {"PageSize", "PageRegion"}) {
        OpenUi(pOut, pszKey, "Media Size", "PickOne", 10, defWord);
        for (const int i : sizes) {
            const std::vector<int>& sheet = sheets.at(row.pCmdItem[i]);
            pOut->Line(std::string("*") + pszKey + " " + row.pCmdItem[i] + "/" + row.pPrmItem[i] +
                       ": \"<</PageSize[" + std::to_string(sheet[0]) + " " + std::to_string(sheet[1]) +
                       "]/ImagingBBox null>>setpagedevice\"");
        }
        CloseUi(pOut, pszKey);
    }
    pOut->Line("*DefaultImageableArea: " + defWord);
    for (const int i : sizes) {
        const std::vector<int>& sheet = sheets.at(row.pCmdItem[i]);
        const auto area = areas.find(row.pCmdItem[i]);
        std::vector<int> margin = area != areas.end() ? area->second : std::vector<int>{};
        margin.resize(4, 0);
        pOut->Line(std::string("*ImageableArea ") + row.pCmdItem[i] + "/" + row.pPrmItem[i] + ": \"" +
                   std::to_string(margin[0]) + " " + std::to_string(margin[3]) + " " +
                   std::to_string(sheet[0] - margin[2]) + " " + std::to_string(sheet[1] - margin[1]) + "\"");
    }
    pOut->Line("*DefaultPaperDimension: " + defWord);
    for (const int i : sizes) {
        const std::vector<int>& sheet = sheets.at(row.pCmdItem[i]);
        pOut->Line(std::string("*PaperDimension ") + row.pCmdItem[i] + "/" + row.pPrmItem[i] + ": \"" +
                   std::to_string(sheet[0]) + " " + std::to_string(sheet[1]) + "\"");
    }
    pOut->Line("");
}

static std::string PpdText(const std::string& model, const PaperTable& rasters, const PaperTable& sheets,
                           const PaperTable& areas)
{
    PpdWriter out;
    std::string pcName = model.substr(0, 8);
    for (char& c : pcName)
        c = char(tolower(static_cast<unsigned char>(c)));
    const char* pszFilters[] = {"application/pdf", "application/postscript", "application/vnd.cups-pdf",
                                "image/png", "image/jpeg", "text/plain"};
    out.Line("*PPD-Adobe: \"4.3\"");
    out.Line("*% Velnora " + model + ", generated by makeppd from the filter's tables");
    out.Line("*FormatVersion: \"4.3\"");
    out.Line("*FileVersion: \"1.0\"");
    out.Line("*LanguageVersion: English");
    out.Line("*LanguageEncoding: ISOLatin1");
    out.Line("*PCFileName: \"" + pcName + ".ppd\"");
    out.Line("*Manufacturer: \"Velnora\"");
    out.Line("*Product: \"(" + model + ")\"");
    out.Line("*ModelName: \"Velnora " + model + "\"");
    out.Line("*ShortNickName: \"Velnora " + model + "\"");
    out.Line("*NickName: \"Velnora " + model + "\"");
    out.Line("*PSVersion: \"(3010.000) 0\"");
    out.Line("*LanguageLevel: \"3\"");
    out.Line("*ColorDevice: True");
    out.Line("*DefaultColorSpace: RGB");
    out.Line("*FileSystem: False");
    out.Line("*Throughput: \"1\"");
    out.Line("*LandscapeOrientation: Plus90");
    out.Line("*TTRasterizer: Type42");
    out.Line("*DefaultResolution: 600dpi");
    out.Line("*cupsVersion: 2.4");
    out.Line("*cupsManualCopies: False");
    out.Line("*cupsJobPassword: \"1111\"");
    for (const char* pszType : pszFilters)
        out.Line(std::string("*cupsFilter2: \"") + pszType + " application/vnd.velnora-pjl 0 velnora-cups\"");
    out.Line("*VelnoraModel: \"" + model + "\"");
    out.Line("");
    WritePageSizes(&out, rasters, sheets, areas);
    WriteRowOption(&out, "InputSlot", "Paper Source", kRowInputSlot, 20);
    WriteRowOption(&out, "MediaType", "Media Type", kRowMediaType, 20);
    WriteRowOption(&out, "Duplex", "Two-Sided", kRowDuplex, 20);
    WriteMappedOption(&out, "ColorModel", "Color Mode", "PickOne", kRowMonoColor, tblPpdColorModel, 20);
    WriteMappedOption(&out, "cupsPrintQuality", "Print Quality", "PickOne", kRowResolution, tblPpdQuality, 20);
    WriteMappedOption(&out, "TonerSaveMode", "Toner Save", "Boolean", kRowTonerSave, tblPpdBoolean, 20);
    WriteMappedOption(&out, "VNSkipBlank", "Skip Blank Pages", "Boolean", kRowSkipBlank, tblPpdBoolean, 20);
    WriteMappedOption(&out, "Collate", "Collate Copies", "Boolean", kRowCollate, tblPpdBoolean, 20);
    return out.text;
}

static int WriteModelPpd(const std::string& modelRoot, const std::string& model, const PaperTable& rasters,
                         const std::string& outDir)
{
    const std::string inf = modelRoot + "/" + model + "/bin/inf/";
    PaperTable sheets, areas;
    if (!ReadPaperTable(inf + "PaperDimension", &sheets))
        return 0;   // not a model folder
    ReadPaperTable(inf + "ImagingArea", &areas);
    const std::string text = PpdText(model, rasters, sheets, areas);
    const std::string path = outDir + "/" + model + ".ppd";
    FilePtr out(fopen(path.c_str(), "we"));
    if (!out || fwrite(text.data(), 1, text.size(), out.get()) != text.size() || fflush(out.get()) != 0) {
        fprintf(stderr, "makeppd: cannot write %s\n", path.c_str());
        return 1;
    }
    return 0;
}

int main(int argc, char** argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: makeppd PAPERINFO MODELROOT DEFAULTS.rc OUTDIR\n");
        return 2;
    }
    PaperTable rasters;
    if (!ReadPaperTable(argv[1], &rasters) || LoadRcFile(argv[3], &g_rcInfo) != 0) {
        fprintf(stderr, "makeppd: cannot read %s or %s\n", argv[1], argv[3]);
        return 1;
    }
    DIR* pDir = opendir(argv[2]);
    if (!pDir) {
        fprintf(stderr, "makeppd: cannot read %s\n", argv[2]);
        return 1;
    }
    int nStatus = 0;
    while (const dirent* pEntry = readdir(pDir))
        if (pEntry->d_name[0] != '.' && nStatus == 0)
            nStatus = WriteModelPpd(argv[2], pEntry->d_name, rasters, argv[4]);
    closedir(pDir);
    return nStatus;
}
