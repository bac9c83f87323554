// Receiving: the pure archive formatting of one 160-character message (all
// five outputs), the "+CMGL:" parse of a 200-message listing, and the whole
// ArchiveMessage with its .txt, .xml and collective files written and
// flushed to disk (in a directory under /tmp, or PDULINK_BENCH_DIR).
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QMainWindow>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "Controls.h"
#include "FormState.h"
#include "Journal.h"
#include "PollClock.h"
#include "Receiving.h"
#include "Replies.h"
#include "SerialPort.h"
#include "TempDir.h"
#include "TestDispatcher.h"
#include "Transaction.h"
#include "TrayState.h"
#include "WindowLayout.h"
#include "sms_archive.h"
#include "sms_decode.h"
#include "sms_msg.h"
#include "text_helpers.h"

namespace {

std::string FullLengthDeliver() {
  std::string text;
  while (text.size() < 160) text += "The quick brown fox jumps over the lazy dog. ";
  text.resize(160);
  pdulink::tSMSmsg ud;
  ud.Clear();
  unsigned len = ud.AddText(text);
  return "07912143658709F1040B919701234567F80000" "50609122227121" + pdulink::ByteToHex(len) + ud.ToHex();
}

void BM_ArchiveFormatting(benchmark::State& state) {
  pdulink::tSMSDecode d;
  d.Decode(FullLengthDeliver());
  for (auto _ : state) {
    pdulink::ArchiveReport r = pdulink::BuildArchiveReport(d);
    std::string txt = pdulink::ArchiveTxtBytes(r.view);
    std::string xml = pdulink::ArchiveXmlBytes(r);
    std::string line = pdulink::CollectiveLine("19.06.2005 22:22:17", r.view);
    benchmark::DoNotOptimize(txt);
    benchmark::DoNotOptimize(xml);
    benchmark::DoNotOptimize(line);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ArchiveFormatting);

void BM_ListingParse200(benchmark::State& state) {
  const std::string pdu = FullLengthDeliver();
  std::string reply = "AT+CMGL=4\r";
  for (int i = 1; i <= 200; ++i) reply += "\r\n+CMGL: " + std::to_string(i) + ",1,,152\r\n" + pdu + "\r\n";
  reply += "\r\nOK\r\n";
  for (auto _ : state) {
    auto listed = ParseCmglListing(reply);
    benchmark::DoNotOptimize(listed);
  }
  state.SetItemsProcessed(state.iterations() * 200);
}
BENCHMARK(BM_ListingParse200);

// The whole operation on the window's controls: decode, journal report,
// message view, .txt and .xml written durably, collective line appended.
void BM_ArchiveMessageWithFiles(benchmark::State& state) {
  const char* where = std::getenv("PDULINK_BENCH_DIR");
  std::string base = where && *where ? where : "/tmp";
  std::string dir = base + "/pdulink-bench-XXXXXX";
  if (!::mkdtemp(dir.data())) {
    state.SkipWithError("cannot make a directory");
    return;
  }
  QMainWindow window;
  Controls ui;
  BuildControls(&window, ui);
  FormState form;
  PollClock clock;
  TestDispatcher dispatcher;
  Journal journal(ui.Memo2);
  TrayState tray(&window);
  TSerialPort port(dispatcher);
  Context ctx{ui, form, journal, tray, port, clock};
  Transaction dialogue(ctx);
  Receiving receiving(ctx, dialogue);
  ui.ed_LogDir->setText(QString::fromStdString(dir));
  // 0: journal and view only; 1: .txt and .xml; 2: and the collective line.
  const bool save = state.range(0) > 0;
  ui.cb_appendfile->setChecked(state.range(0) > 1);
  const std::string pdu = FullLengthDeliver();
  for (auto _ : state) {
    if (!receiving.ArchiveMessage(pdu, save)) state.SkipWithError("not kept");
  }
  state.SetItemsProcessed(state.iterations());
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}
BENCHMARK(BM_ArchiveMessageWithFiles)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
