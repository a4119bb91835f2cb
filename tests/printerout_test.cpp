// Tests of the printer connection through the built filter: a printer that stops reading
// must not hold a cancelled job.
#include <csignal>

#include "filterjob.h"

using namespace std::chrono_literals;

class PrinterConnectionTest : public FilterJobTest {
protected:
    // Pages of noise, which compress so little that one page overfills the pipe.
    static constexpr int kNoiseWidth = 400, kNoiseHeight = 300;

    static RgbImage NoisePage(uint32_t nSeed)
    {
        return MakeImage(kNoiseWidth, kNoiseHeight, [&nSeed](int, int, uint8_t* p) {
            for (int i = 0; i < 3; ++i) {
                nSeed = nSeed * 1664525u + 1013904223u;
                p[i] = uint8_t(nSeed >> 24);
            }
        });
    }
};

// The filter sleeps in a write to a printer that reads nothing more; a cancel signal then
// ends it within its grace period, as a cancellation (status 0, no message, nothing left
// behind). Whatever the printer took begins with the job's header. The last page of a job
// is written at its finish, which a stalled printer must not hold either.
TEST_F(PrinterConnectionTest, CancelEndsTheFilterWhileThePrinterStopsReading)
{
    WritePaperInfo("A4: " + std::to_string(kNoiseWidth) + " " + std::to_string(kNoiseHeight) + "\n");
    struct Case {
        const char* pszWhat;
        int nPages;
        int nSignal;
    };
    const Case cases[] = {
        {"SIGTERM while an earlier page is written", 3, SIGTERM},
        {"SIGINT while an earlier page is written", 3, SIGINT},
        {"SIGTERM while the finish writes the last page", 1, SIGTERM},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        std::vector<std::vector<uint8_t>> pages;
        for (int i = 0; i < c.nPages; ++i)
            pages.push_back(PpmPage(NoisePage(uint32_t(i + 1))));
        const std::string input = dir / "pages.ppm";
        WriteBytes(input, Concat(pages));
        std::vector<std::string> args = Args();
        args.push_back(input);
        FilterProcess filter(FilterPath(), args, Env(), false, OutputMode::kStall);
        ASSERT_TRUE(filter.WaitForBlockedWrite(20s)) << "the filter never filled the pipe";
        filter.Signal(c.nSignal);
        const FilterResult result = filter.Wait(20s);   // a hang guard only
        ASSERT_TRUE(result.bExited) << "ended by signal " << result.nSignal;
        EXPECT_EQ(0, result.nExitStatus);
        EXPECT_EQ("", result.err);
        ExpectNothingLeft(result.nPid);
        const std::string out = Text(result.out);
        EXPECT_EQ("\x1b%-12345X@PJL \n", out.substr(0, 15));
    }
}
