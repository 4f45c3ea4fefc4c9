/*
 * keybench: what a line change costs a keying program under Wine, beside
 * the cheapest way to put the same report on the device.
 *
 *   (a) EscapeCommFunction(SETDTR/CLRDTR) on COM40: vkserial, Wine's hidclass,
 *       the stand-in minidriver; one synchronous 9-byte write per change.
 *   (b) WriteFile of the same 9-byte report on the HID collection's handle,
 *       passed down through vkserial to the same hidclass and minidriver.
 *
 * Blocks of (a) and (b) alternate, and so does which goes first, so that
 * whatever else the machine does lands on both. After every block the
 * stand-in's log must hold exactly that block's reports, contiguous and in
 * order, or the run fails. Raw samples go to <folder> for the plot.
 *
 *   keybench <folder> [latency blocks]
 *   keybench <folder> trace      20 calls of each between named landmarks
 */
#include <windows.h>

extern "C"
{
#include <hidsdi.h>
}

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "hid_access.h"
#include "latency_figures.h"
#include "standin_client.h"

namespace
{

const char PortName[] = "COM40";
const int LatencyBlockCalls = 100;
const int ThroughputBlocks = 10;
const int ThroughputBlockCalls = 500; // below the stand-in's 512-report log
const int TailBlocks = 40;
const int TailBlockCalls = 60;
/* The other handle stops here, so that a block's reports fit the stand-in's log. */
const int TailOtherCap = STANDIN_LOG_CAPACITY - TailBlockCalls - 8;

/* With RTS low (PTT bit 1), the state byte for DTR raised (Key 0) and dropped (Key 1). */
const unsigned char StateDtrRaised = 0x02;
const unsigned char StateDtrDropped = 0x03;

Stopwatch Clock;
bool ReportFault = false;

class Bench
{
  public:
    bool Open();
    ~Bench();

    /* (a): the i-th call of a block raises DTR when i is even, drops it when odd. */
    bool LineChange(int i)
    {
        return EscapeCommFunction(port_, i % 2 ? CLRDTR : SETDTR) != FALSE;
    }
    /* (b): the report vkserial would send for the same change. */
    bool HidWrite(int i)
    {
        return HidWrite(i, collection_);
    }
    bool HidWrite(int i, HANDLE collection)
    {
        unsigned char report[9] = {0x00, 0x01, i % 2 ? StateDtrDropped : StateDtrRaised};
        DWORD written = 0;
        return WriteFile(collection, report, sizeof(report), &written, NULL) != FALSE;
    }
    /* A HID class control hands the writes of the handle that sent it to the
       HID stack, as every HID program's first HidD_ call does; each
       collection handle asks for itself. */
    bool HandOverToHid()
    {
        wchar_t text[64];
        return HidD_GetManufacturerString(collection_, text, sizeof(text)) != FALSE &&
               HidD_GetManufacturerString(secondCollection_, text, sizeof(text)) != FALSE;
    }
    /* Both lines low and the log empty, so that a block's states are known. */
    bool ResetLines(HANDLE port)
    {
        return EscapeCommFunction(port, CLRRTS) && EscapeCommFunction(port, CLRDTR) &&
               standIn_->Clear();
    }
    bool ResetLines()
    {
        return ResetLines(port_);
    }
    HANDLE Port() const
    {
        return port_;
    }
    HANDLE SecondPort() const
    {
        return secondPort_;
    }
    HANDLE SecondCollection() const
    {
        return secondCollection_;
    }
    std::vector<STANDIN_REPORT> ReadLog();

  private:
    std::unique_ptr<StandInClient> standIn_;
    HANDLE port_ = INVALID_HANDLE_VALUE;
    HANDLE secondPort_ = INVALID_HANDLE_VALUE;
    HANDLE collection_ = INVALID_HANDLE_VALUE;
    HANDLE secondCollection_ = INVALID_HANDLE_VALUE;
};

HANDLE OpenPort()
{
    return CreateFileA((std::string("\\\\.\\") + PortName).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                       NULL, OPEN_EXISTING, 0, NULL);
}

bool Bench::Open()
{
    // The port's start ends with the COM name: wait for it, then for the interface.
    char target[512];
    DWORD start = GetTickCount();
    while (QueryDosDeviceA(PortName, target, sizeof(target)) == 0)
    {
        if (GetTickCount() - start > 20000)
        {
            std::printf("%s never appeared\n", PortName);
            return false;
        }
        Sleep(50);
    }
    std::string path = WaitForHidInterfacePath("HID\\VID_1234&PID_5678\\", 10000);
    if (WaitForStandIn(10000))
        standIn_ = std::make_unique<StandInClient>();
    if (!standIn_ || !standIn_->IsOpen() || path.empty())
    {
        std::printf("stand-in control device or HID interface missing\n");
        return false;
    }
    // Reports are written in the context of the port's latest open: (a)'s,
    // as for a keying program alone on its port.
    collection_ = OpenHidCollection(path);
    secondCollection_ = OpenHidCollection(path);
    secondPort_ = OpenPort();
    port_ = OpenPort();
    if (port_ == INVALID_HANDLE_VALUE || secondPort_ == INVALID_HANDLE_VALUE ||
        collection_ == INVALID_HANDLE_VALUE || secondCollection_ == INVALID_HANDLE_VALUE)
    {
        std::printf("open failed: error %lu\n", GetLastError());
        return false;
    }
    // Opens run their identity check behind CreateFile's back; a request on
    // the handle runs after it.
    ResetLines();
    LineChange(0);
    std::vector<STANDIN_REPORT> seen = standIn_->WaitForReports(1, 2000);
    if (seen.size() != 1 || seen[0].Data[1] != StateDtrRaised)
    {
        std::printf("the port sends no reports: is the stand-in QX7LMN/1?\n");
        return false;
    }
    return true;
}

Bench::~Bench()
{
    for (HANDLE handle : {port_, secondPort_, collection_, secondCollection_})
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
}

std::vector<STANDIN_REPORT> Bench::ReadLog()
{
    // Blocks stay below the log's capacity, so a lost report shows as a short count.
    return standIn_->Reports();
}

/* The block's reports must be exactly count alternating states, contiguous and in order. */
bool CheckAlternatingReports(Bench& bench, const char* what, int count)
{
    std::vector<STANDIN_REPORT> reports = bench.ReadLog();
    std::string fault;
    if (static_cast<int>(reports.size()) != count)
        fault = std::to_string(reports.size()) + " reports for " + std::to_string(count) + " calls";
    for (size_t i = 0; fault.empty() && i < reports.size(); ++i)
    {
        const STANDIN_REPORT& report = reports[i];
        unsigned char expected = i % 2 ? StateDtrDropped : StateDtrRaised;
        if (report.Data[0] != 0x01 || report.Data[1] != expected)
            fault = "report " + std::to_string(i) + " has the wrong state";
        else if (i > 0 && report.Sequence != reports[i - 1].Sequence + 1)
            fault = "report " + std::to_string(i) + " out of sequence";
    }
    if (!fault.empty())
    {
        std::printf("REPORT FAULT in %s: %s\n", what, fault.c_str());
        ReportFault = true;
    }
    return fault.empty();
}

enum Method
{
    ThroughPort,
    ToCollection
};

/* Times each call of one block; the reports are checked after the clock stops. */
void LatencyBlock(Bench& bench, Method method, int calls, std::vector<double>* samples)
{
    bench.ResetLines();
    if (method == ToCollection)
        bench.HandOverToHid();
    for (int i = 0; i < calls; ++i)
    {
        LONGLONG before = Clock.Now();
        bool ok = method == ThroughPort ? bench.LineChange(i) : bench.HidWrite(i);
        LONGLONG after = Clock.Now();
        if (!ok)
        {
            std::printf("call %d failed: error %lu\n", i, GetLastError());
            ReportFault = true;
            return;
        }
        samples->push_back(Clock.Microseconds(before, after));
    }
    CheckAlternatingReports(bench, method == ThroughPort ? "(a)" : "(b)", calls);
}

/* Back-to-back calls; returns the block's duration in microseconds. */
double ThroughputBlock(Bench& bench, Method method, int calls)
{
    bench.ResetLines();
    if (method == ToCollection)
        bench.HandOverToHid();
    LONGLONG before = Clock.Now();
    for (int i = 0; i < calls; ++i)
    {
        bool ok = method == ThroughPort ? bench.LineChange(i) : bench.HidWrite(i);
        if (!ok)
            ReportFault = true;
    }
    LONGLONG after = Clock.Now();
    CheckAlternatingReports(bench, method == ThroughPort ? "(a) throughput" : "(b) throughput",
                            calls);
    return Clock.Microseconds(before, after);
}

/* The second program: it keys the other line, as fast as it can, until told
   to stop or until its share of the stand-in's log is used up. */
struct Toggler
{
    Bench* bench;
    Method method;
    volatile LONG stop;
    volatile LONG calls;
};

DWORD WINAPI ToggleOtherLine(void* context)
{
    Toggler* toggler = static_cast<Toggler*>(context);
    while (!toggler->stop && toggler->calls < TailOtherCap)
    {
        if (toggler->method == ThroughPort)
            EscapeCommFunction(toggler->bench->SecondPort(), toggler->calls % 2 ? CLRRTS : SETRTS);
        else
            toggler->bench->HidWrite(toggler->calls, toggler->bench->SecondCollection());
        InterlockedIncrement(&toggler->calls);
    }
    return 0;
}

/* Key (bit 0) must change exactly at the first handle's calls and PTT (bit 1)
   at the second's: the interleaving is free, each line's order is not. */
void CheckTwoLineReports(Bench& bench, int dtrCalls, int rtsCalls)
{
    std::vector<STANDIN_REPORT> reports = bench.ReadLog();
    int keyChanges = 0, pttChanges = 0;
    unsigned char previous = StateDtrDropped; // both lines low
    for (const STANDIN_REPORT& report : reports)
    {
        unsigned char state = report.Data[1];
        keyChanges += (state ^ previous) & 1;
        pttChanges += ((state ^ previous) >> 1) & 1;
        previous = state;
    }
    int count = static_cast<int>(reports.size());
    if (count != dtrCalls + rtsCalls || keyChanges != dtrCalls || pttChanges != rtsCalls)
    {
        std::printf("REPORT FAULT with two handles: %d reports, %d Key and %d PTT changes for %d "
                    "DTR and %d RTS calls\n",
                    count, keyChanges, pttChanges, dtrCalls, rtsCalls);
        ReportFault = true;
    }
}

/* Only calls that began and ended while the other handle was keying count
   as samples; every call's report is checked. */
void TailBlock(Bench& bench, Method method, std::vector<double>* samples, long* otherCalls)
{
    bench.ResetLines(bench.SecondPort());
    bench.ResetLines();
    if (method == ToCollection)
        bench.HandOverToHid();
    Toggler toggler = {&bench, method, 0, 0};
    HANDLE thread = CreateThread(NULL, 0, ToggleOtherLine, &toggler, 0, NULL);
    while (toggler.calls < 2)
        Sleep(0);
    int calls = 0;
    for (; calls < TailBlockCalls && toggler.calls < TailOtherCap; ++calls)
    {
        LONGLONG before = Clock.Now();
        if (method == ThroughPort)
            bench.LineChange(calls);
        else
            bench.HidWrite(calls);
        LONGLONG after = Clock.Now();
        if (toggler.calls < TailOtherCap)
            samples->push_back(Clock.Microseconds(before, after));
    }
    InterlockedExchange(&toggler.stop, 1);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    *otherCalls += toggler.calls;
    if (method == ThroughPort)
    {
        CheckTwoLineReports(bench, calls, toggler.calls);
    }
    else if (bench.ReadLog().size() != static_cast<size_t>(calls + toggler.calls))
    {
        std::printf("REPORT FAULT with two collection handles: %u reports for %ld writes\n",
                    static_cast<unsigned>(bench.ReadLog().size()), calls + toggler.calls);
        ReportFault = true;
    }
}

/* A named event shows in a wineserver trace (wineserver -d2) as a landmark
   between which the requests of each method can be counted. */
void Landmark(const char* name)
{
    HANDLE mark = CreateEventA(NULL, FALSE, FALSE, name);
    if (mark != NULL)
        CloseHandle(mark);
}

int TraceCalls(Bench& bench, int calls)
{
    bench.ResetLines();
    Landmark("keybench-a-begin");
    for (int i = 0; i < calls; ++i)
        bench.LineChange(i);
    Landmark("keybench-a-end");
    CheckAlternatingReports(bench, "(a) traced", calls);
    bench.ResetLines();
    bench.HandOverToHid();
    Landmark("keybench-b-begin");
    for (int i = 0; i < calls; ++i)
        bench.HidWrite(i);
    Landmark("keybench-b-end");
    CheckAlternatingReports(bench, "(b) traced", calls);
    return ReportFault ? 1 : 0;
}

const char* Verdict(bool met)
{
    return met ? "met" : "MISSED";
}

} // namespace

int main(int argc, char** argv)
{
    setvbuf(stdout, NULL, _IONBF, 0);
    if (argc < 2)
    {
        std::printf("usage: keybench <folder for samples> [latency blocks, default 40 | trace]\n");
        return 2;
    }
    std::string folder = argv[1];
    bool trace = argc > 2 && std::string(argv[2]) == "trace";
    int latencyBlocks = argc > 2 && !trace ? std::atoi(argv[2]) : 40;

    Bench bench;
    if (!bench.Open())
        return 1;
    if (trace)
        return TraceCalls(bench, 20);

    // 1. Latency: alternating blocks, alternating which method goes first.
    std::vector<double> a, b;
    for (int block = 0; block < latencyBlocks; ++block)
    {
        Method first = block % 2 ? ToCollection : ThroughPort;
        Method second = first == ThroughPort ? ToCollection : ThroughPort;
        LatencyBlock(bench, first, LatencyBlockCalls, first == ThroughPort ? &a : &b);
        LatencyBlock(bench, second, LatencyBlockCalls, second == ThroughPort ? &a : &b);
    }
    Figures fa = Summarize(a), fb = Summarize(b);
    std::printf("Latency per call, microseconds (%d interleaved blocks of %d calls each):\n",
                latencyBlocks, LatencyBlockCalls);
    PrintFiguresHeader();
    PrintFigures("(a) EscapeCommFunction SETDTR/CLRDTR, vkserial", fa);
    PrintFigures("(b) WriteFile 9 bytes to the HID collection", fb);
    double ratio = fa.median / fb.median;
    std::printf("  ratio of medians a/b: %.2f (target <= 1.20: %s)\n\n", ratio,
                Verdict(ratio <= 1.2));

    // 2. Throughput: back-to-back calls on one handle, every report checked.
    double aTime = 0, bTime = 0;
    for (int block = 0; block < ThroughputBlocks; ++block)
    {
        if (block % 2)
        {
            bTime += ThroughputBlock(bench, ToCollection, ThroughputBlockCalls);
            aTime += ThroughputBlock(bench, ThroughPort, ThroughputBlockCalls);
        }
        else
        {
            aTime += ThroughputBlock(bench, ThroughPort, ThroughputBlockCalls);
            bTime += ThroughputBlock(bench, ToCollection, ThroughputBlockCalls);
        }
    }
    double total = static_cast<double>(ThroughputBlocks) * ThroughputBlockCalls;
    double aRate = total / aTime * 1e6, bRate = total / bTime * 1e6;
    std::printf("Throughput, one handle (%d interleaved blocks of %d calls each):\n",
                ThroughputBlocks, ThroughputBlockCalls);
    std::printf("  (a) line changes per second: %8.0f\n", aRate);
    std::printf("  (b) HID writes per second:   %8.0f\n", bRate);
    std::printf("  a/b: %.2f (target >= 0.80: %s); every report received in order: %s\n\n",
                aRate / bRate, Verdict(aRate / bRate >= 0.8), ReportFault ? "NO" : "yes");

    // 3. Tail: DTR on one handle while a second handle toggles RTS, beside
    // the same with both handles writing to the collection.
    std::vector<double> loaded, loadedB;
    long otherCalls = 0, otherWrites = 0;
    for (int block = 0; block < TailBlocks; ++block)
    {
        TailBlock(bench, ThroughPort, &loaded, &otherCalls);
        TailBlock(bench, ToCollection, &loadedB, &otherWrites);
    }
    Figures fl = Summarize(loaded), flb = Summarize(loadedB);
    std::printf("Tail, a second handle keying the other line meanwhile (%d interleaved blocks of "
                "up to %d calls; %ld RTS changes, %ld writes by the second handle):\n",
                TailBlocks, TailBlockCalls, otherCalls, otherWrites);
    PrintFiguresHeader();
    PrintFigures("(a) DTR, a second port handle toggling RTS", fl);
    PrintFigures("(b) writes, a second collection handle writing", flb);
    std::printf("  p99 of (a) %.1f us (target <= 1000: %s)\n", fl.p99, Verdict(fl.p99 <= 1000));

    bool written = WriteSamples(folder + "\\a.txt", a) && WriteSamples(folder + "\\b.txt", b) &&
                   WriteSamples(folder + "\\a-loaded.txt", loaded) &&
                   WriteSamples(folder + "\\b-loaded.txt", loadedB);
    if (!written)
        std::printf("could not write the samples to %s\n", folder.c_str());
    std::printf("\nreports: %s\n", ReportFault ? "FAULTS (see above)" : "all received, in order");
    return ReportFault || !written ? 1 : 0;
}
