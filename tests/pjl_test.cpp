// Tests of the PJL job header and trailer, through the built filter.
#include "filterjob.h"

class PjlTest : public FilterJobTest {};

TEST_F(PjlTest, CompleteHeaderAndTrailerOfTheExampleJob)
{
    WriteRc("VNMonoColor=Mono\nVNResolution=Normal\nVNColorMatching=None\n");
    const FilterResult result = Run(PpmPage(Page(1)), {{"OWNER", "alice"}, {"TITLE", "Quarterly report"}});
    ASSERT_EQ(0, result.nExitStatus) << result.err;
    const VnJob job = ReadOutput(result);
    const std::string header =
        "\x1b%-12345X@PJL \n@PJL SET HOLD=OFF\n@PJL SET USERNAME=\"alice\"\n@PJL SET JOBNAME=\"Quarterly report\"\n"
        "@PJL SET LOGINUSER=\"alice\"\n@PJL JOB NAME=\"Quarterly report\"\n@PJL SET SPECIALRED=0x000000\n"
        "@PJL SET STRINGCODESET=UTF8\n@PJL SET PAPER=A4\n@PJL SET RENDERMODE=GRAYSCALE\n@PJL SET COLORADAPT=OFF\n"
        "@PJL SET ECONOPRINT=OFF\n@PJL SET APTMODE=OFF\n@PJL SET DUPLEX=OFF\n@PJL SET MEDIATYPE=REGULAR\n"
        "@PJL SET MANUALFEED=OFF\n@PJL SET SOURCETRAY=AUTO\n@PJL SET LESSPAPERCURL=OFF\n@PJL SET FIXINTENSITYUP=OFF\n"
        "@PJL SET COLORMODE=NONE\n@PJL SET IMPROVEGRAY=OFF\n@PJL SET UCRGCRFORIMAGE=OFF\n@PJL SET BRIGHTNESS=0\n"
        "@PJL SET CONTRAST=0\n@PJL SET DENSITYRED=0\n@PJL SET DENSITYGREEN=0\n@PJL SET DENSITYBLUE=0\n"
        "@PJL SET FIDELITY=TRUE\n@PJL ENTER LANGUAGE=PWGRASTER\n";
    EXPECT_EQ(header, job.szHeader);
    EXPECT_EQ("\x1b%-12345X@PJL EOJ NAME=\"Quarterly report\"\n\x1b%-12345X\n", job.szTrailer);
}

// The job's header holds every line of present and none of absent; every line is PJL.
static void ExpectHeaderLines(const FilterResult& result, const std::vector<std::string>& present,
                              const std::vector<std::string>& absent)
{
    VnJob job;
    JobReadError err;
    ASSERT_TRUE(ReadJob(result.out.data(), result.out.size(), &job, &err)) << DescribeError(err);
    const auto Contains = [&job](const std::string& line) {
        return std::find(job.headerLines.begin(), job.headerLines.end(), line) != job.headerLines.end();
    };
    for (const std::string& line : present)
        EXPECT_TRUE(Contains(line)) << line;
    for (const std::string& line : absent)
        EXPECT_FALSE(Contains(line)) << line;
    for (const std::string& line : job.headerLines)
        EXPECT_EQ(0u, line.rfind("@PJL", 0)) << line;
}

TEST_F(PjlTest, EnvironmentVariablesShapeTheHeader)
{
    struct Case {
        const char* pszWhat;
        EnvList env;
        std::vector<std::string> present, absent;
    };
    const Case cases[] = {
        {"nothing set", {}, {"@PJL SET HOLD=OFF", "@PJL SET SPECIALRED=0x000000"},
         {"@PJL SET OUTBIN=AUTO", "@PJL SET OUTBIN=UPPER"}},
        {"PASSWORD", {{"PASSWORD", "1234"}},
         {"@PJL SET HOLD=STORE", "@PJL SET HOLDTYPE=PRIVATE", "@PJL SET HOLDKEY=1234"}, {"@PJL SET HOLD=OFF"}},
        {"empty TITLE", {{"TITLE", ""}}, {}, {"@PJL SET JOBNAME=\"\"", "@PJL JOB NAME=\"\""}},
        {"OUTPUTTRAY OFF", {{"OUTPUTTRAY", "OFF"}}, {"@PJL SET OUTBIN=UPPER", "@PJL SET FINISH=NONE"}, {}},
        {"OUTPUTTRAY other", {{"OUTPUTTRAY", "ON"}}, {"@PJL SET OUTBIN=AUTO"}, {"@PJL SET FINISH=NONE"}},
        {"VNREDVAL 0", {{"VNREDVAL", "0"}}, {"@PJL SET SPECIALRED=0x00FFFF"}, {}},
        {"VNREDVAL 1", {{"VNREDVAL", "1"}}, {"@PJL SET SPECIALRED=0x00F7FF"}, {}},
        {"VNREDVAL 12", {{"VNREDVAL", "12"}}, {"@PJL SET SPECIALRED=0x009FFF"}, {}},
        {"VNREDVAL 13", {{"VNREDVAL", "13"}}, {"@PJL SET SPECIALRED=0x00FFF7"}, {}},
        {"VNREDVAL 100", {{"VNREDVAL", "100"}}, {"@PJL SET SPECIALRED=0x00B7C7"}, {}},
        {"VNREDVAL 168", {{"VNREDVAL", "168"}}, {"@PJL SET SPECIALRED=0x009F9F"}, {}},
        {"VNREDVAL 999", {{"VNREDVAL", "999"}}, {"@PJL SET SPECIALRED=0x009F9F"}, {}},
        {"VNREDVAL -5", {{"VNREDVAL", "-5"}}, {"@PJL SET SPECIALRED=0x00FFFF"}, {}},
        {"VNREDVAL abc", {{"VNREDVAL", "abc"}}, {"@PJL SET SPECIALRED=0x00FFFF"}, {}},
        {"owner and title lose control bytes and quotes",
         {{"OWNER", "ev\"e\x01\x7f"}, {"TITLE", "a\"b\nc\r\xc3\xa9"}},
         {"@PJL SET USERNAME=\"eve\"", "@PJL SET JOBNAME=\"abc\xc3\xa9\"", "@PJL JOB NAME=\"abc\xc3\xa9\""}, {}},
        {"password loses control bytes, keeps quotes", {{"PASSWORD", "12\n@PJL\"34"}},
         {"@PJL SET HOLDKEY=12@PJL\"34"}, {}},
        {"a title of control bytes only counts as unset", {{"TITLE", "\n\t"}}, {}, {"@PJL JOB NAME=\"\""}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        const FilterResult result = Run(PpmPage(Page(1)), c.env);
        ASSERT_EQ(0, result.nExitStatus) << result.err;
        ExpectHeaderLines(result, c.present, c.absent);
    }
}

TEST_F(PjlTest, SettingsShapeTheHeader)
{
    struct Case {
        const char* pszWhat;
        std::string rc;
        std::vector<std::string> present, absent;
    };
    const Case cases[] = {
        {"defaults", "",
         {"@PJL SET RENDERMODE=COLOR", "@PJL SET COLORADAPT=ON", "@PJL SET APTMODE=ON", "@PJL SET COLORMODE=AUTO"},
         {"@PJL SET BRIGHTNESS=0", "@PJL SET IMPROVEGRAY=OFF"}},
        {"full colour, vivid, numbers", "VNMonoColor=FullColor\nVNColorMatching=Vivid\nBrightness=-3\nBlueKey=7\n",
         {"@PJL SET COLORADAPT=OFF", "@PJL SET COLORMODE=VIVID", "@PJL SET BRIGHTNESS=-3", "@PJL SET DENSITYBLUE=7"},
         {}},
        {"paper, media, tray", "PageSize=Letter\nMediaType=BOND\nInputSlot=Tray3\n",
         {"@PJL SET PAPER=LETTER", "@PJL SET MEDIATYPE=BOND", "@PJL SET SOURCETRAY=TRAY3"}, {}},
        {"manual feed", "InputSlot=Manual\n", {"@PJL SET MANUALFEED=ON"}, {"@PJL SET SOURCETRAY=AUTO"}},
        {"toner save, duplex, less curl", "TonerSaveMode=ON\nVNDuplex=DuplexTumble\nVNImproveOutput=VNLessPaperCurl\n",
         {"@PJL SET ECONOMODE=ON", "@PJL SET DUPLEX=ON", "@PJL SET LESSPAPERCURL=ON", "@PJL SET FIXINTENSITYUP=OFF"},
         {"@PJL SET ECONOPRINT=OFF"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        WriteRc(c.rc);
        WritePaperInfo("A4: 8 6\nLetter: 8 6\n");
        const FilterResult result = Run(PpmPage(Page(1)));
        ASSERT_EQ(0, result.nExitStatus) << result.err;
        ExpectHeaderLines(result, c.present, c.absent);
    }
}

