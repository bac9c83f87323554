#pragma once
// TWorkThread: the worker of one TSerialPort. While the port is open it polls
// the line status, finishes pending writes, reads complete bursts as clusters,
// watches for line events, and raises the port's events on the
// user-interface thread. While the port is closed it idles.
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <linux/serial.h>

#include "ReceiveFilter.h"

class TSerialPort;

class TWorkThread {
 public:
  explicit TWorkThread(TSerialPort& port);  // starts running at once
  ~TWorkThread();                           // waits for the thread to end
  TWorkThread(const TWorkThread&) = delete;
  TWorkThread& operator=(const TWorkThread&) = delete;

  TSerialPort& Port;

 private:
  // What one pass found that has to be raised on the user-interface thread,
  // in the order found. Run after the device lock is released.
  struct Pending {
    std::vector<std::function<void()>> calls;
  };

  void Execute();
  void ActivePass();
  // The steps of an active pass: the receive filter's settings taken over
  // when they changed; the line-event wait (false when the device hung up,
  // goneCode set; pollFailed when the wait itself failed); the report and
  // close of a device that has gone.
  void TakeFilterSettings();
  bool WaitForLine(int fd, Pending& out, int& goneCode, bool& pollFailed);
  // Whether nothing but the input asks for a look: no modem lines, no error
  // counters and no write or read request (a pseudo-terminal between a
  // command and the end of its reply's burst).
  bool OnlyInputToWatch() const;
  // The wait while a burst's bytes are queued on such a device: woken by
  // bytes that arrive (edge-triggered) or the port, not every pass; false
  // when the epoll set cannot be had (the poll wait is used instead).
  bool WaitForArrivals(int fd, int timeoutMs, Pending& out, int& goneCode, bool& present);
  void CloseGoneDevice(int goneCode, uint64_t session);
  void IdleWait();
  void StartSession();
  bool PollLineStatus(int fd, uint32_t& events, Pending& out);
  // Its steps: the modem lines (their changes as events), the queue counts
  // (false when they cannot be read), the line errors from the driver's
  // counters, and the port's comm state with OnCommStat when it changed.
  void PollModemLines(int fd, uint32_t& events, Pending& out);
  bool PollQueues(int fd, int& inq, int& outq, Pending& out);
  uint32_t PollErrorCounters(int fd, uint32_t& events);
  void PublishCommState(uint32_t errors, uint32_t in, uint32_t outCount, Pending& out);
  void CheckWriteDone(int fd, Pending& out);
  void AbortWrite(uint32_t code, Pending& out);
  // Returns false when the device has gone (read gave EOF or EIO).
  bool TryRead(int fd, uint32_t& events, Pending& out, int& goneCode);
  // The read of fast mode (reply-aware framing): the queued bytes are taken
  // at once and held, so the end of a reply can be seen; the held bytes
  // become one cluster when they end a reply or when the cluster rule says so.
  bool TryReadHeld(int fd, uint32_t& events, Pending& out, int& goneCode);
  void DeliverHeld(Pending& out);
  int WaitTimeoutMs(int64_t now) const;
  void DrainWake(Pending& out);

  void RelayError(Pending& out, uint32_t place, uint32_t code, const char* msg);
  void DeliverCluster(Pending& out, std::string bytes, uint32_t error);
  void DispatchLineEvents(Pending& out, uint32_t mask);

  // Working state, used by the worker thread only.
  uint64_t session_ = 0;            // open count of the device being served
  uint32_t refTick_ = 0;            // last time the input queue was seen empty, or the last read
  uint32_t seenInQueue_ = 0;        // input count seen, less the bytes read since
  uint32_t lastInQueue_ = 0;        // input count of the last poll
  int modemErr_ = 0;                // errno of the last failed modem poll, reported once
  int statusErr_ = 0;               // errno of the last failed queue poll, reported once
  bool modemSeeded_ = false;
  bool icountSupported_ = true;
  bool modemSupported_ = true;      // false: the device has no modem lines (a pseudo-terminal)
  bool icountSeeded_ = false;
  serial_icounter_struct icount_{};
  serial_impl::TReceiveFilter filter_;
  uint64_t filterGeneration_ = UINT64_MAX;
  char eventChar_ = 0;

  // Fast mode: bytes read but not yet handed over as a cluster.
  std::string held_;           // filtered, as the cluster will carry them
  uint32_t heldCount_ = 0;     // bytes read from the device (the rule's count)
  uint32_t heldErrors_ = 0;    // line-error flags of the polls before those reads
  uint32_t lastByteTick_ = 0;  // when bytes were last added

  // The epoll set of WaitForArrivals, for the device of arrivalsSession_.
  int arrivals_ = -1;
  uint64_t arrivalsSession_ = 0;

  std::thread thread_;
};

namespace serial_impl {
// Line-error flags (CE_*) and line events (EV_BREAK, EV_ERR) from the change
// of the driver's error counters between two polls.
uint32_t LineErrorsFromCounters(const serial_icounter_struct& before, const serial_icounter_struct& now,
                                uint32_t& events);

// Line events (EV_CTS, EV_DSR, EV_RING, EV_RLSD) from the change of the modem
// status bits (MS_*) between two polls. A ring is raised on the rising edge
// of the ring indicator only.
uint32_t ModemEvents(uint32_t before, uint32_t now);

// What a non-blocking read of a terminal returned.
enum class ReadOutcome { Data, Nothing, Gone, Failed };
ReadOutcome ClassifyRead(ssize_t result, int err);
}  // namespace serial_impl
