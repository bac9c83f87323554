#pragma once
// TSerialPort: one serial device (termios), its control lines, writes, error
// reports, and the worker thread that hands received bursts to the
// user-interface thread as clusters.
//
// Threads: every method and setter is called on the user-interface thread,
// the thread that runs the calls posted to the UiDispatcher. Events and
// OnProcessError are raised on that thread only. The dispatcher must outlive
// the port.
#include <termios.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "EventSlot.h"
#include "LineSettings.h"
#include "ReceiveFilter.h"
#include "SerialCluster.h"
#include "UiDispatcher.h"

class TWorkThread;

// Hold and sent flags of the last status poll (bits of CommStateFlags()).
enum TComStateFlag : uint32_t {
  fCtlHold = 1u << 0,
  fDsrHold = 1u << 1,
  fRlsHold = 1u << 2,
  fXoffHold = 1u << 3,
  fXOffSent = 1u << 4,
  fEof = 1u << 5,
  fTxim = 1u << 6,
};

// Line events (CommEvent() and the dispatch of the worker).
enum : uint32_t {
  EV_RXCHAR = 0x0001,
  EV_RXFLAG = 0x0002,
  EV_TXEMPTY = 0x0004,
  EV_CTS = 0x0008,
  EV_DSR = 0x0010,
  EV_RLSD = 0x0020,
  EV_BREAK = 0x0040,
  EV_ERR = 0x0080,
  EV_RING = 0x0100,
  EV_ALL = 0x01FF,
};

// Modem status bits (ModemState()).
enum : uint32_t { MS_CTS_ON = 0x10, MS_DSR_ON = 0x20, MS_RING_ON = 0x40, MS_RLSD_ON = 0x80 };

// Line-error flags (CommError(), TSerialCluster::Error).
enum : uint32_t {
  CE_RXOVER = 0x01,
  CE_OVERRUN = 0x02,
  CE_RXPARITY = 0x04,
  CE_FRAME = 0x08,
  CE_BREAK = 0x10,
  CE_READ_NOW = 0x1F,  // any of these forces a read at once
};

struct TCharTime {
  uint32_t Baud;
  uint32_t Micros;  // time of one character in microseconds
};

// Baud rate -> character time, ascending by baud rate.
inline constexpr std::array<TCharTime, 15> CharTimeTable = {{
    {110, 100000}, {300, 37000}, {600, 18000}, {1200, 9000}, {2400, 4500},
    {4800, 2300}, {9600, 1100}, {14400, 760}, {19200, 570}, {38400, 290},
    {56000, 200}, {57600, 190}, {115200, 95}, {128000, 85}, {256000, 43},
}};

class TSerialPort {
 public:
  using NotifyEvent = TEventSlot<void(TSerialPort&)>;
  using ErrorEvent = TEventSlot<void(void* sender, uint32_t place, uint32_t code, const std::string& msg)>;

  static constexpr uint32_t kInvalidHandle = 0xFFFFFFFFu;

  explicit TSerialPort(UiDispatcher& ui, void* owner = nullptr);
  ~TSerialPort();
  TSerialPort(const TSerialPort&) = delete;
  TSerialPort& operator=(const TSerialPort&) = delete;

  // Events: assign and read them on the user-interface thread only. The
  // worker hands an event over only while its handler is assigned.
  NotifyEvent OnRxClusterEvent, OnCommEvent, OnCommStat, OnTxQueueEmptyEvent, OnWriteDone, OnBreakEvent,
      OnCTSEvent, OnDSREvent, OnLineErrorEvent, OnRingEvent, OnRLSDEvent, OnRxCharEvent, OnRxEventCharEvent;
  ErrorEvent OnProcessError;

  // --- properties ---
  bool Active() const { return active_.load(); }
  void SetActive(bool v);
  uint32_t ComHandle() const;
  const std::string& CommPort() const { return commPort_; }
  void SetCommPort(std::string v);
  uint32_t BaudRate() const { return baudRate_; }
  void SetBaudRate(uint32_t v);
  uint8_t ParityType() const { return parityType_; }
  void SetParityType(uint8_t v);
  char ParityErrorChar() const { return parityErrorChar_; }
  void SetParityErrorChar(char v);
  bool ParityErrorReplacement() const { return parityErrorReplacement_; }
  void SetParityErrorReplacement(bool v);
  uint8_t StopBits() const { return stopBits_; }
  void SetStopBits(uint8_t v);
  uint8_t DataBits() const { return dataBits_; }
  void SetDataBits(uint8_t v);
  char XONChar() const { return xonChar_; }
  void SetXONChar(char v);
  char XOFFChar() const { return xoffChar_; }
  void SetXOFFChar(char v);
  uint8_t XONLimDiv() const { return xonLimDiv_; }
  void SetXONLimDiv(uint8_t v);
  uint8_t XOFFLimDiv() const { return xoffLimDiv_; }
  void SetXOFFLimDiv(uint8_t v);
  int32_t FlowControl() const { return flowControl_; }
  void SetFlowControl(int32_t v);
  bool StripNullChars() const { return stripNullChars_; }
  void SetStripNullChars(bool v);
  char EventChar() const { return eventChar_; }
  void SetEventChar(char v);
  uint32_t RTOCharDelayTime() const { return rtoCharDelayTime_.load(); }
  void SetRTOCharDelayTime(uint32_t v);
  uint16_t RTOExtraDelayTime() const { return rtoExtraDelayTime_.load(); }
  void SetRTOExtraDelayTime(uint16_t v);
  uint16_t ClusterSize() const { return clusterSize_.load(); }
  void SetClusterSize(uint16_t v) { clusterSize_.store(v); }
  uint16_t RxQueueSize() const { return rxQueueSize_; }
  void SetRxQueueSize(uint16_t v);
  uint16_t TxQueueSize() const { return txQueueSize_; }
  void SetTxQueueSize(uint16_t v);
  uint32_t WTOCharDelayTime() const { return wtoCharDelayTime_; }
  void SetWTOCharDelayTime(uint32_t v);
  uint16_t WTOExtraDelayTime() const { return wtoExtraDelayTime_; }
  void SetWTOExtraDelayTime(uint16_t v);
  bool XTOAuto() const { return xtoAuto_; }
  void SetXTOAuto(bool v);
  bool RTSState() const { return rtsState_; }
  void SetRTSState(bool v);
  bool DTRState() const { return dtrState_; }
  void SetDTRState(bool v);
  bool BREAKState() const { return breakState_; }
  void SetBREAKState(bool v);
  bool CTSState() const { return ctsState_.load(); }
  bool DSRState() const { return dsrState_.load(); }
  bool RLSDState() const { return rlsdState_.load(); }
  bool RingState() const { return ringState_.load(); }
  uint8_t ErrorNoise() const { return errorNoise_; }
  void SetErrorNoise(uint8_t v) { errorNoise_ = v; }
  bool ReadRequest() const { return readRequest_.load(); }
  void SetReadRequest(bool v);
  bool SendInProgress() const { return sendInProgress_.load(); }
  uint32_t CommError() const { return commError_.load(); }
  uint32_t CommStateFlags() const { return commStateFlags_.load(); }  // TComStateFlag bits
  uint32_t CommStateInQueue() const { return commStateInQueue_.load(); }
  uint32_t CommStateOutQueue() const { return commStateOutQueue_.load(); }
  uint32_t ModemState() const { return modemState_.load(); }
  uint32_t CommEvent() const { return commEvent_.load(); }
  uint32_t WrittenBytes() const { return writtenBytes_.load(); }
  int PlatformFamily() const { return platformFamily_; }
  bool ThreadBusy() const { return threadBusy_.load(); }
  bool ThreadEnded() const { return threadEnded_.load(); }
  // XON and XOFF limits of the last applied line state (queue size x div / 100).
  uint16_t XONLimit() const { return lastSettings_.XonLim; }
  uint16_t XOFFLimit() const { return lastSettings_.XoffLim; }

  // The [Ports] section of the configuration: name -> device path. Used by
  // the next open; CommPort itself is never rewritten.
  void SetPortMap(std::map<std::string, std::string> ports) { portMap_ = std::move(ports); }
  const std::map<std::string, std::string>& PortMap() const { return portMap_; }
  // The device path the next open uses.
  std::string DevicePath() const;

  // --- operations ---
  void SendData(const void* buffer, uint32_t count);
  void SendText(const std::string& text);
  int PeekClusterSize();
  int PeekClusterError();
  std::string TakeClusterText();
  void ReportError(uint32_t place, uint32_t code, uint8_t level, const std::string& msg);
  void AutoCharDelay();

  // Fast mode: a cluster also closes as soon as the framing rule says that
  // the bytes received so far end a reply, instead of waiting for the
  // burst's quiet time. The port knows no replies: whoever talks to the
  // device hands the rule in. It runs on the worker thread, so it is a plain
  // function without state. None (the default) is off.
  using ReplyEndRule = bool (*)(std::string_view bytes);
  void SetReplyFraming(ReplyEndRule endsReply);
  bool ReplyAwareFraming() const { return replyEnd_.load() != nullptr; }

  // How often the line settings were written to the device and how often it
  // was opened (diagnostics).
  uint32_t ApplyCount() const { return applyCount_; }
  uint64_t OpenCount() const { return openCount_; }

 private:
  friend class TWorkThread;

  // State shared with calls queued on the dispatcher; it outlives the port.
  struct SyncHub {
    std::atomic<bool> alive{true};
    std::mutex m;
    std::condition_variable cv;
  };

  // Closes the device if one is open, then (reopen) opens DevicePath() anew.
  void ReopenPort(bool reopen);
  // The steps of ReopenPort: stop serving and release the open device; open
  // a device for this program alone (-1 and err when that fails); serve it.
  void ClosePort();
  static int OpenExclusive(const std::string& path, int& err);
  void StartServing(int fd);
  void ApplyLineSettings();
  // 0 when the device shows the state just written, otherwise EINVAL (or the
  // errno of reading it back). customBaud: the arbitrary rate set, or 0.
  static int VerifyLineState(int fd, const termios& wanted, uint32_t customBaud);
  void SetQueueSizes(uint32_t failPlace, const char* failMsg);
  void ReApply();
  void Wake();
  void NotifyHub();
  bool CancelWaits() const;
  // Runs `call` on the user-interface thread and waits for it, unless the
  // port closes or is destroyed meanwhile (the call then still runs later,
  // or does nothing when the port is gone).
  void CallOnUi(std::function<void()> call);
  void Raise(const NotifyEvent& handler);
  void DropEmptyClusters();

  UiDispatcher& ui_;
  void* owner_;
  std::shared_ptr<SyncHub> hub_;

  // Device. Only the user-interface thread opens and closes it, under ioMutex_;
  // the worker holds ioMutex_ while it uses the descriptor.
  std::atomic<int> fd_{-1};
  std::mutex ioMutex_;
  termios savedTermios_{};
  bool haveSavedTermios_ = false;
  int wakeFd_ = -1;  // eventfd that ends the worker's waits early

  std::atomic<bool> active_{false};
  std::string commPort_ = "COM2";
  std::map<std::string, std::string> portMap_;
  uint32_t baudRate_ = 9600;
  uint8_t parityType_ = 0;
  char parityErrorChar_ = 0;
  bool parityErrorReplacement_ = false;
  uint8_t stopBits_ = 0;
  uint8_t dataBits_ = 8;
  char xonChar_ = 17;
  char xoffChar_ = 19;
  uint8_t xonLimDiv_ = 33;
  uint8_t xoffLimDiv_ = 33;
  int32_t flowControl_ = 0;
  bool stripNullChars_ = false;
  char eventChar_ = 0;
  std::atomic<uint32_t> rtoCharDelayTime_{1100};
  std::atomic<uint16_t> rtoExtraDelayTime_{250};
  std::atomic<uint16_t> clusterSize_{3072};
  uint16_t rxQueueSize_ = 4096;
  uint16_t txQueueSize_ = 4096;
  uint32_t wtoCharDelayTime_ = 1100;
  uint16_t wtoExtraDelayTime_ = 250;
  bool xtoAuto_ = true;
  bool rtsState_ = true;
  bool dtrState_ = true;
  bool breakState_ = false;
  std::atomic<bool> ctsState_{false}, dsrState_{false}, rlsdState_{false}, ringState_{false};
  uint8_t errorNoise_ = 255;
  std::atomic<bool> readRequest_{false};
  std::atomic<bool> sendInProgress_{false};
  std::atomic<uint32_t> commError_{0}, commStateFlags_{0}, commStateInQueue_{0}, commStateOutQueue_{0};
  std::atomic<uint32_t> modemState_{0}, commEvent_{0}, writtenBytes_{0};
  std::atomic<bool> threadBusy_{false}, threadEnded_{false}, destroying_{false}, terminate_{false};
  std::atomic<uint32_t> eventMask_{0};  // line events subscribed to
  std::atomic<ReplyEndRule> replyEnd_{nullptr};  // fast mode framing
  int platformFamily_ = 2;

  // Filter options of the applied line state, handed to the worker.
  std::mutex filterMutex_;
  serial_impl::TReceiveFilter::Options filterOptions_;
  char filterEventChar_ = 0;
  uint64_t filterGeneration_ = 0;

  // The current write: the bytes the device has not yet taken. Owned by the
  // user-interface thread while SendInProgress is clear, by the worker while set.
  std::string pendingWrite_;
  uint32_t requestedWrite_ = 0;
  uint32_t writtenSoFar_ = 0;
  int64_t writeDeadlineMs_ = -1;  // steady-clock ms, -1 without a timeout
  std::atomic<bool> txNotEmpty_{false};

  serial_impl::TLineSettings lastSettings_;
  std::deque<std::unique_ptr<TSerialCluster>> clusterQueue_;
  uint32_t applyCount_ = 0;
  uint64_t openCount_ = 0;  // written under ioMutex_
  std::unique_ptr<TWorkThread> worker_;
};
