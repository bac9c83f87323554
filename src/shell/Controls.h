#pragma once
// Pointers to the window's controls, under their own names. The window
// builds them; the dialogue, operations and automation read and set them
// through this struct, so each part can be tested with real widgets and no
// whole window.
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;
class QTabWidget;
class QToolButton;
class QWidget;
class Lamp;

struct Controls {
  // Left column.
  QPlainTextEdit* Memo2 = nullptr;    // the journal
  QPlainTextEdit* smsfile = nullptr;  // the message view
  Lamp* led_connect = nullptr;

  QTabWidget* pg1 = nullptr;
  QWidget* ts1_main = nullptr;
  QWidget* ts2_setup = nullptr;
  QWidget* ts3_test = nullptr;
  QWidget* ts4_send = nullptr;
  QWidget* ts5_calls = nullptr;
  QWidget* ts6_about = nullptr;

  // Main.
  QToolButton* sb_connect = nullptr;
  QPushButton* b_abort = nullptr;
  QPushButton* B_disconnect = nullptr;
  QPushButton* b_exit = nullptr;
  QComboBox* cb_smstype = nullptr;
  QToolButton* sb_listSMS = nullptr;
  QCheckBox* cb_deletesms = nullptr;
  QLineEdit* ed_nums = nullptr;
  QToolButton* sb_delete = nullptr;
  QPushButton* Button4 = nullptr;  // "< Clear Log"; its handler is Button1Click
  QPushButton* b_log2clip = nullptr;

  // Setup.
  QLabel* Label5 = nullptr;
  QComboBox* cb_comport = nullptr;
  QComboBox* cb_speed = nullptr;
  QLabel* Label1 = nullptr;
  QLineEdit* ed_polint = nullptr;
  QLabel* Label2 = nullptr;
  QLineEdit* ed_LogDir = nullptr;
  QLabel* l_iniFile = nullptr;
  QPushButton* b_save_iniFile = nullptr;
  QCheckBox* cb_autoconnect = nullptr;
  QCheckBox* cb_autoread = nullptr;
  QCheckBox* cb_dos = nullptr;
  QCheckBox* cb_appendfile = nullptr;
  QCheckBox* cb_dtr = nullptr;
  QCheckBox* cb_rts = nullptr;
  QCheckBox* cb_autosend = nullptr;
  QLabel* Label3 = nullptr;
  QLineEdit* Ed_watchInt = nullptr;
  QLabel* Label4 = nullptr;
  QLineEdit* Ed_watchDir = nullptr;
  QCheckBox* cb_bat = nullptr;
  QCheckBox* cb_sound_silent = nullptr;
  QCheckBox* cb_offline = nullptr;
  QCheckBox* cb_sendoptions = nullptr;

  QCheckBox* cb_fastmode = nullptr;

  // Test.
  QLineEdit* ed_send = nullptr;
  QPushButton* b_send = nullptr;
  QPlainTextEdit* Memo1 = nullptr;
  QPushButton* Button1 = nullptr;  // "Parse"; its handler is b_parseClick
  QPushButton* Button3 = nullptr;

  // Send.
  QLineEdit* ed_totel = nullptr;
  QLineEdit* Ed_smsbody = nullptr;
  QLabel* L_lenManualsms = nullptr;
  QLabel* Label7 = nullptr;
  QLineEdit* ed_Ncopies = nullptr;
  QPushButton* b_stop_sendcycle = nullptr;
  QToolButton* sb_sendSMS = nullptr;
  QCheckBox* cb_SRR = nullptr;
  QLabel* Label6 = nullptr;
  QSpinBox* se_vp_rByte = nullptr;
  QLabel* l_VPComment = nullptr;
  QPushButton* b_save_send = nullptr;
  QLabel* Label8 = nullptr;
  QLineEdit* ed_smsc = nullptr;
  QToolButton* sb_saveSmsc = nullptr;

  // Calls.
  QCheckBox* cb_calls = nullptr;
  QCheckBox* cb_call_save = nullptr;

  // About.
  QLabel* l_about = nullptr;

  // SIM, network and signal: the latest signal beside the lamp, and the
  // Setup fields of the opt-in keys SimCheck, Pin and SignalInt.
  QLabel* l_signal = nullptr;
  QCheckBox* cb_simcheck = nullptr;
  QLabel* l_pin = nullptr;
  QLineEdit* ed_pin = nullptr;
  QLabel* l_signalInt = nullptr;
  QLineEdit* ed_signalInt = nullptr;
};
