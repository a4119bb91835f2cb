// pjl: the PJL job header and trailer around the compressed document. The header carries
// the job's settings and the owner, title and secure-print PIN from the environment;
// every environment value is cleaned before it stands in a PJL line.
#include "pjl.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "printerout.h"

constexpr char kUEL[] = "\x1b%-12345X";

static void WriteText(const std::string& text)
{
    pswrite(text.data(), text.size());
}

static void WritePjl(const std::string& line)
{
    WriteText(line + "\n");
}

// An environment value as it may stand in a PJL line: bytes below 0x20, 0x7F and the
// characters in pszAlsoDrop removed, so no value can end a line early or unbalance its
// quotes. Empty when unset.
static std::string PjlValue(const char* pszName, const char* pszAlsoDrop)
{
    const char* pszValue = getenv(pszName);
    std::string value;
    for (const char* p = pszValue ? pszValue : ""; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7F || strchr(pszAlsoDrop, *p))
            continue;
        value += *p;
    }
    return value;
}

static std::string Quoted(const std::string& value)
{
    return "\"" + value + "\"";
}

// SPECIALRED from VNREDVAL, 0 to 168: the upper five bits hold 31 - v mod 13, bits 3 to
// 7 hold 31 - v / 13.
static std::string SpecialRedDigits()
{
    const char* pszValue = getenv("VNREDVAL");
    if (!pszValue || !*pszValue)
        return "0000";
    long nValue = strtol(pszValue, nullptr, 10);
    nValue = nValue < 0 ? 0 : (nValue > 168 ? 168 : nValue);
    const unsigned nCode = 0xFFFFu - unsigned(nValue % 13) * 0x800u - unsigned(nValue / 13) * 8u;
    char szDigits[50];
    snprintf(szDigits, sizeof szDigits, "%4X", nCode);
    return szDigits;
}

struct CodeName {
    int16_t nCode;
    const char* pszName;
};

constexpr CodeName tblPjlPaper[] = {
    {5, "LEGAL"},          {7, "EXECUTIVE"},        {9, "A4"},               {11, "A5"},
    {13, "B5"},            {14, "FOLIO"},           {20, "COM10"},           {27, "DL"},
    {28, "C5"},            {34, "JISB5"},           {35, "B6"},              {37, "MONARCH"},
    {43, "POSTCARD"},      {61, "A5L"},             {69, "JISB6"},           {70, "A6"},
    {73, "JENVCHOU3"},     {74, "A4SHORT"},         {75, "ROC16K"},          {76, "SIXTEENK184X260"},
    {77, "SIXTEENK195X270"}, {78, "MEXICANLEGAL"},  {79, "INDIALEGAL"},      {91, "ENVYOU4"},
    {261, "P3X5"},
};

constexpr CodeName tblPjlMedia[] = {
    {1, "THIN"},      {2, "THICK"},     {3, "THICK2"},    {5, "RECYCLED"},
    {6, "BOND"},      {7, "ENVELOPES"}, {8, "ENVTHIN"},   {9, "ENVTHICK"},
    {10, "POSTCARD"}, {11, "LABEL"},    {12, "GLOSSY"},
};

template <size_t N>
static const char* NameOf(const CodeName (&table)[N], int16_t nCode, const char* pszOther)
{
    for (const CodeName& entry : table)
        if (entry.nCode == nCode)
            return entry.pszName;
    return pszOther;
}

static const char* OnOff(bool bOn)
{
    return bOn ? "ON" : "OFF";
}

static void WriteSecurePrint()
{
    const std::string password = PjlValue("PASSWORD", "");
    if (password.empty()) {
        WritePjl("@PJL SET HOLD=OFF");
        return;
    }
    WritePjl("@PJL SET HOLD=STORE");
    WritePjl("@PJL SET HOLDTYPE=PRIVATE");
    WritePjl("@PJL SET HOLDKEY=" + password);
}

static void WriteOwnerAndTitle()
{
    const std::string owner = PjlValue("OWNER", "\"");
    const std::string title = PjlValue("TITLE", "\"");
    if (!owner.empty())
        WritePjl("@PJL SET USERNAME=" + Quoted(owner));
    if (!title.empty())
        WritePjl("@PJL SET JOBNAME=" + Quoted(title));
    if (!owner.empty())
        WritePjl("@PJL SET LOGINUSER=" + Quoted(owner));
    if (!title.empty())
        WritePjl("@PJL JOB NAME=" + Quoted(title));
}

static void WriteRenderMode(int16_t nColorMode)
{
    WritePjl(nColorMode == 0 ? "@PJL SET RENDERMODE=GRAYSCALE" : "@PJL SET RENDERMODE=COLOR");
    WritePjl(nColorMode == 2 ? "@PJL SET COLORADAPT=ON" : "@PJL SET COLORADAPT=OFF");
}

static void WritePaperSource(int16_t nInputSlot)
{
    if (nInputSlot == 7) {
        WritePjl("@PJL SET MANUALFEED=ON");
        return;
    }
    WritePjl("@PJL SET MANUALFEED=OFF");
    if (nInputSlot >= 1 && nInputSlot <= 5)
        WritePjl("@PJL SET SOURCETRAY=TRAY" + std::to_string(nInputSlot));
    else if (nInputSlot == 6)
        WritePjl("@PJL SET SOURCETRAY=MPTRAY");
    else
        WritePjl("@PJL SET SOURCETRAY=AUTO");
}

static void WriteOutputTray()
{
    const char* pszTray = getenv("OUTPUTTRAY");
    if (!pszTray || !*pszTray)
        return;
    if (strcmp(pszTray, "OFF") == 0) {
        WritePjl("@PJL SET OUTBIN=UPPER");
        WritePjl("@PJL SET FINISH=NONE");
    } else {
        WritePjl("@PJL SET OUTBIN=AUTO");
    }
}

static void WriteColorMatching(const JobSettings* pJob)
{
    static constexpr const char* tblColorMode[] = {"NONE", "NORMAL", "VIVID", "AUTO"};
    const int16_t nMatch = pJob->nColorMatching;
    WritePjl(std::string("@PJL SET COLORMODE=") + tblColorMode[(nMatch >= 1 && nMatch <= 3) ? nMatch : 0]);
    if (nMatch == 3)
        return;
    WritePjl(std::string("@PJL SET IMPROVEGRAY=") + OnOff(pJob->nGray != 0));
    WritePjl(std::string("@PJL SET UCRGCRFORIMAGE=") + OnOff(pJob->nEnhanceBlack != 0));
    WritePjl("@PJL SET BRIGHTNESS=" + std::to_string(pJob->nBrightness));
    WritePjl("@PJL SET CONTRAST=" + std::to_string(pJob->nContrast));
    WritePjl("@PJL SET DENSITYRED=" + std::to_string(pJob->nRedKey));
    WritePjl("@PJL SET DENSITYGREEN=" + std::to_string(pJob->nGreenKey));
    WritePjl("@PJL SET DENSITYBLUE=" + std::to_string(pJob->nBlueKey));
}

void WriteJobHeader(const JobSettings* pJob)
{
    WriteText(kUEL);
    WritePjl("@PJL ");
    WriteSecurePrint();
    WriteOwnerAndTitle();
    WritePjl("@PJL SET SPECIALRED=0x00" + SpecialRedDigits());
    WritePjl("@PJL SET STRINGCODESET=UTF8");
    WritePjl(std::string("@PJL SET PAPER=") + NameOf(tblPjlPaper, pJob->page.nPaperSize, "LETTER"));
    WriteRenderMode(pJob->nColorMode);
    WritePjl(pJob->nTonerSave != 0 ? "@PJL SET ECONOMODE=ON" : "@PJL SET ECONOPRINT=OFF");
    WritePjl(std::string("@PJL SET APTMODE=") + OnOff(pJob->page.nResolution == 2));
    WritePjl(std::string("@PJL SET DUPLEX=") + OnOff(pJob->nDuplex == 1 || pJob->nDuplex == 2));
    WritePjl(std::string("@PJL SET MEDIATYPE=") + NameOf(tblPjlMedia, pJob->page.nMediaType, "REGULAR"));
    WritePaperSource(pJob->nInputSlot);
    WriteOutputTray();
    WritePjl(std::string("@PJL SET LESSPAPERCURL=") + OnOff(pJob->nImproveOutput == 1));
    WritePjl(std::string("@PJL SET FIXINTENSITYUP=") + OnOff(pJob->nImproveOutput == 2));
    WriteColorMatching(pJob);
    WritePjl("@PJL SET FIDELITY=TRUE");
    WritePjl("@PJL ENTER LANGUAGE=PWGRASTER");
}

void WriteJobTrailer()
{
    WriteText(kUEL);
    const std::string title = PjlValue("TITLE", "\"");
    if (!title.empty())
        WritePjl("@PJL EOJ NAME=" + Quoted(title));
    WriteText(kUEL);
    WriteText("\n");
}
