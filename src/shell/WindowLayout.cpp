#include "WindowLayout.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QIntValidator>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include "Controls.h"
#include "Lamp.h"

namespace {

template <typename W>
W* Make(QWidget* parent, const char* name, const QString& hint = {}) {
  auto* w = new W(parent);
  w->setObjectName(QString::fromLatin1(name));
  if (!hint.isEmpty()) w->setToolTip(hint);
  return w;
}

QPushButton* Button(QWidget* parent, const char* name, const char* caption, const char* hint = "") {
  auto* b = Make<QPushButton>(parent, name, QString::fromUtf8(hint));
  b->setText(QString::fromUtf8(caption));
  return b;
}

// A latching speed button: stays down after a click until released.
QToolButton* SpeedButton(QWidget* parent, const char* name, const char* caption, const char* hint) {
  auto* b = Make<QToolButton>(parent, name, QString::fromUtf8(hint));
  b->setText(QString::fromUtf8(caption));
  b->setCheckable(true);
  b->setAutoRaise(false);
  b->setToolButtonStyle(Qt::ToolButtonTextOnly);
  b->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  return b;
}

QCheckBox* Check(QWidget* parent, const char* name, const char* caption, const char* hint) {
  auto* c = Make<QCheckBox>(parent, name, QString::fromUtf8(hint));
  c->setText(QString::fromUtf8(caption));
  return c;
}

QLineEdit* Edit(QWidget* parent, const char* name, const char* text, const char* hint) {
  auto* e = Make<QLineEdit>(parent, name, QString::fromUtf8(hint));
  e->setText(QString::fromUtf8(text));
  return e;
}

QLabel* Label(QWidget* parent, const char* name, const char* caption) {
  auto* l = Make<QLabel>(parent, name);
  l->setText(QString::fromUtf8(caption));
  return l;
}

void Emphasise(QWidget* w, const char* colour = nullptr) {
  QFont f = w->font();
  f.setBold(true);
  w->setFont(f);
  if (colour) w->setStyleSheet(QStringLiteral("color: %1;").arg(QLatin1String(colour)));
}

QPlainTextEdit* Memo(QWidget* parent, const char* name, const char* hint = "") {
  auto* m = Make<QPlainTextEdit>(parent, name, QString::fromUtf8(hint));
  m->setLineWrapMode(QPlainTextEdit::NoWrap);
  m->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  m->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  return m;
}

QWidget* Page(QTabWidget* tabs, const char* name, const char* caption) {
  auto* page = Make<QWidget>(tabs, name);
  tabs->addTab(page, QString::fromUtf8(caption));
  return page;
}

void BuildMain(QWidget* page, Controls& ui) {
  auto* grid = new QGridLayout(page);
  ui.sb_connect = SpeedButton(page, "sb_connect", "Connect", "Открыть порт и подключиться к телефону");
  ui.b_abort = Button(page, "b_abort", "Abort", "Прервать");
  ui.B_disconnect = Button(page, "B_disconnect", "Disconnect", "Освободить порт");
  ui.b_exit = Button(page, "b_exit", "Exit", "Отключиться и закрыть программу");
  Emphasise(ui.b_exit);
  ui.cb_smstype = Make<QComboBox>(page, "cb_smstype", QString::fromUtf8("Тип просматриваемых сообщений"));
  for (const char* item : {"0 - входящие непрочитанные", "1 - входящие прочитанные",
                           "2 - сохраненные непосланные", "3 - сохраненные отправленные", "4 - Все"})
    ui.cb_smstype->addItem(QString::fromUtf8(item));
  ui.cb_smstype->setCurrentIndex(-1);
  ui.sb_listSMS = SpeedButton(page, "sb_listSMS", "List SMS", "Просмотреть сообщения");
  ui.cb_deletesms = Check(page, "cb_deletesms", "Delete", "Удалить просмотренные сообщения");
  ui.ed_nums = Edit(page, "ed_nums", "", "Номера сообщений через пробел");
  ui.sb_delete = SpeedButton(page, "sb_delete", "Delete", "Удалить");
  ui.Button4 = Button(page, "Button4", "< Clear Log", "Очистить журнал");
  ui.b_log2clip = Button(page, "b_log2clip", "> Copy to ClipBoard", "Скопировать весь журнал в буфер обмена");

  grid->addWidget(ui.sb_connect, 0, 0);
  grid->addWidget(ui.b_abort, 0, 1);
  grid->addWidget(ui.B_disconnect, 1, 0);
  grid->addWidget(ui.b_exit, 1, 1);
  grid->addWidget(ui.cb_smstype, 2, 0, 1, 2);
  grid->addWidget(ui.sb_listSMS, 3, 0);
  grid->addWidget(ui.cb_deletesms, 3, 1);
  grid->addWidget(ui.ed_nums, 4, 0);
  grid->addWidget(ui.sb_delete, 4, 1);
  grid->setRowStretch(5, 1);
  grid->addWidget(ui.Button4, 6, 0);
  grid->addWidget(ui.b_log2clip, 6, 1);
}

// The opt-in SIM, network and signal fields of the Setup page, from row r
// on; returns the next free row.
int BuildSimFields(QWidget* page, QGridLayout* grid, int r, Controls& ui) {
  ui.cb_simcheck = Check(page, "cb_simcheck", "Check SIM, Net",
                         "Проверять SIM-карту и регистрацию в сети при подключении");
  ui.l_pin = Label(page, "l_pin", "PIN");
  ui.l_pin->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  ui.ed_pin = Edit(page, "ed_pin", "", "PIN-код SIM-карты (4-8 цифр), если карта его запрашивает");
  ui.ed_pin->setEchoMode(QLineEdit::Password);
  ui.ed_pin->setMaxLength(8);
  ui.ed_pin->setValidator(
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,8}")), ui.ed_pin));
  ui.l_signalInt = Label(page, "l_signalInt", "Signal Check Interval, s");
  ui.ed_signalInt = Edit(page, "ed_signalInt", "0",
                         "Интервал проверки уровня сигнала в секундах, 0 - не проверять");
  ui.ed_signalInt->setValidator(new QIntValidator(0, 86400, ui.ed_signalInt));
  grid->addWidget(ui.cb_simcheck, r, 0);
  grid->addWidget(ui.l_pin, r, 1);
  grid->addWidget(ui.ed_pin, r++, 2);
  grid->addWidget(ui.l_signalInt, r, 0, 1, 2);
  grid->addWidget(ui.ed_signalInt, r++, 2);
  return r;
}

// The port, the polling interval, the archive directory and the INI file.
void CreatePortFields(QWidget* page, Controls& ui) {
  ui.Label5 = Label(page, "Label5", "Com Port:");
  ui.cb_comport = Make<QComboBox>(page, "cb_comport", QString::fromUtf8("Выберите COM-порт"));
  for (int i = 1; i <= 10; ++i) ui.cb_comport->addItem(QStringLiteral("COM%1").arg(i));
  ui.cb_comport->setCurrentIndex(0);
  ui.cb_speed = Make<QComboBox>(
      page, "cb_speed",
      QString::fromUtf8("Выберите скорость порта, например 19200 для Siemens C35 и S35, "
                        "57600 для Siemens C55 и S55"));
  for (const char* s : {"9600", "19200", "38400", "57600", "115200"}) ui.cb_speed->addItem(QString::fromLatin1(s));
  ui.cb_speed->setCurrentIndex(1);
  ui.Label1 = Label(page, "Label1", "Poling Interval, s");
  ui.ed_polint = Edit(page, "ed_polint", "10", "Интервал опроса телефона в секундах");
  ui.Label2 = Label(page, "Label2", "Log SMS to Dir:");
  ui.ed_LogDir = Edit(page, "ed_LogDir", "", "Каталог для сохранения сообщений");
  ui.l_iniFile = Label(page, "l_iniFile", "INI File");
  ui.l_iniFile->setWordWrap(true);
  ui.l_iniFile->setTextInteractionFlags(Qt::TextSelectableByMouse);
  ui.b_save_iniFile = Button(page, "b_save_iniFile", "Save", "Сохранить в INI-файл");
}

// Connecting and reading at start, the archive's options, the port's lines.
void CreateReadingChecks(QWidget* page, Controls& ui) {
  ui.cb_autoconnect = Check(page, "cb_autoconnect", "Auto Connect", "Подключаться к телефону при запуске");
  Emphasise(ui.cb_autoconnect);
  ui.cb_autoread = Check(page, "cb_autoread", "Auto Read, Log and Delete New SMS",
                         "Читать, сохранять в файл и удалять приходящие сообщения");
  Emphasise(ui.cb_autoread, "maroon");
  ui.cb_dos = Check(page, "cb_dos", "DOS Codepage", "Сохранять сообщения в кодировке DOS");
  ui.cb_appendfile = Check(page, "cb_appendfile", "Append SMS to file",
                           "Дополнительно дописывать входящие сообщения в один файл");
  ui.cb_dtr = Check(page, "cb_dtr", "DTR", "Установить выходной сигнал COM-порта");
  ui.cb_rts = Check(page, "cb_rts", "RTS", "Установить выходной сигнал COM-порта");
}

// The watched directory and the other modes.
void CreateWatchAndModes(QWidget* page, Controls& ui) {
  ui.cb_autosend = Check(page, "cb_autosend", "Watch and AutoSend SMS",
                         "Следить за файлами и отправлять их как сообщения");
  Emphasise(ui.cb_autosend, "red");
  ui.Label3 = Label(page, "Label3", "Watch Dir Interval, s");
  ui.Ed_watchInt = Edit(page, "Ed_watchInt", "20", "Интервал проверки каталога в секундах");
  ui.Label4 = Label(page, "Label4", "Watch Dir\\template");
  ui.Ed_watchDir = Edit(page, "Ed_watchDir", "smss*.txt",
                        "Каталог и шаблон файлов, которые отслеживаются и отправляются");
  ui.cb_bat = Check(page, "cb_bat", "Check Battery", "Следить за зарядом аккумулятора");
  ui.cb_bat->setChecked(true);
  ui.cb_sound_silent = Check(page, "cb_sound_silent", "Silent Mode on Connect",
                             "Выключать звуки телефона при подключении");
  ui.cb_offline = Check(page, "cb_offline", "Off Line Mode",
                        "Подключаться к телефону для каждой команды и отключаться после неё");
  Emphasise(ui.cb_offline, "blue");
  ui.cb_sendoptions = Check(page, "cb_sendoptions", "Detect send options in SMS body",
                            "Обрабатывать параметры, записанные в тексте отправляемого сообщения");
  ui.cb_fastmode = Check(page, "cb_fastmode", "Fast Mode",
                         "Быстрый режим: не ждать паузы после ответа телефона и отправлять файлы пачкой");
}

// Places the controls above on the grid; returns the next free row.
int PlaceSetup(QGridLayout* grid, Controls& ui) {
  int r = 0;
  grid->addWidget(ui.Label5, r, 0);
  grid->addWidget(ui.cb_comport, r, 1);
  grid->addWidget(ui.cb_speed, r++, 2);
  grid->addWidget(ui.Label1, r, 0, 1, 2);
  grid->addWidget(ui.ed_polint, r++, 2);
  grid->addWidget(ui.Label2, r, 0);
  grid->addWidget(ui.ed_LogDir, r++, 1, 1, 2);
  grid->addWidget(ui.l_iniFile, r, 0, 1, 2);
  grid->addWidget(ui.b_save_iniFile, r++, 2);
  grid->addWidget(ui.cb_autoconnect, r++, 0, 1, 3);
  grid->addWidget(ui.cb_autoread, r++, 0, 1, 3);
  grid->addWidget(ui.cb_dos, r, 0, 1, 2);
  grid->addWidget(ui.cb_dtr, r++, 2);
  grid->addWidget(ui.cb_appendfile, r, 0, 1, 2);
  grid->addWidget(ui.cb_rts, r++, 2);
  grid->addWidget(ui.cb_autosend, r++, 0, 1, 3);
  grid->addWidget(ui.Label3, r, 0, 1, 2);
  grid->addWidget(ui.Ed_watchInt, r++, 2);
  grid->addWidget(ui.Label4, r, 0);
  grid->addWidget(ui.Ed_watchDir, r++, 1, 1, 2);
  grid->addWidget(ui.cb_bat, r++, 0, 1, 3);
  grid->addWidget(ui.cb_sound_silent, r++, 0, 1, 3);
  grid->addWidget(ui.cb_offline, r++, 0, 1, 3);
  grid->addWidget(ui.cb_sendoptions, r++, 0, 1, 3);
  return r;
}

void BuildSetup(QWidget* page, Controls& ui) {
  auto* grid = new QGridLayout(page);
  grid->setVerticalSpacing(2);
  // Created in this order, which is also the order of the focus chain.
  CreatePortFields(page, ui);
  CreateReadingChecks(page, ui);
  CreateWatchAndModes(page, ui);
  int r = PlaceSetup(grid, ui);
  r = BuildSimFields(page, grid, r, ui);
  grid->addWidget(ui.cb_fastmode, r++, 0, 1, 3);
  grid->setRowStretch(r, 1);
}

void BuildTest(QWidget* page, Controls& ui) {
  auto* grid = new QGridLayout(page);
  ui.ed_send = Edit(page, "ed_send", "AT", "AT-команда");
  ui.b_send = Button(page, "b_send", "Send", "Отправить команду");
  ui.Memo1 = Memo(page, "Memo1");
  ui.Memo1->setToolTip(QStringLiteral("Enter SMS hex string example and press Parse for Decode"));
  ui.Button1 = Button(page, "Button1", "Parse");
  ui.Button3 = Button(page, "Button3", "Clear");
  grid->addWidget(ui.ed_send, 0, 0);
  grid->addWidget(ui.b_send, 0, 1);
  grid->addWidget(ui.Memo1, 1, 0, 1, 2);
  grid->addWidget(ui.Button1, 2, 0);
  grid->addWidget(ui.Button3, 2, 1);
}

void BuildSend(QWidget* page, Controls& ui) {
  auto* grid = new QGridLayout(page);
  ui.ed_totel = Edit(page, "ed_totel", "0850",
                     "Номер телефона, например короткий сервисный номер сети "
                     "или одиннадцатизначный международный номер");
  ui.Ed_smsbody = Edit(page, "Ed_smsbody", "Текст SMS сообщения", "Текст сообщения");
  ui.L_lenManualsms = Make<QLabel>(page, "L_lenManualsms",
                                   QString::fromUtf8("Длина сообщения в символах: не более 160 "
                                                     "латиницей, не более 70 по-русски"));
  ui.L_lenManualsms->setText(QStringLiteral("0"));
  ui.Label7 = Label(page, "Label7", "Number of copies:");
  Emphasise(ui.Label7);
  ui.ed_Ncopies = Edit(page, "ed_Ncopies", "1", "Отправить сообщение указанное число раз");
  Emphasise(ui.ed_Ncopies);
  ui.b_stop_sendcycle = Button(page, "b_stop_sendcycle", "Stop", "Прервать цикл повторов");
  ui.sb_sendSMS = SpeedButton(page, "sb_sendSMS", "Send SMS", "Отправить сообщение вручную");
  ui.cb_SRR = Check(page, "cb_SRR", "Status Report Request", "Запросить статус отправленного сообщения");
  ui.Label6 = Label(page, "Label6", "Validity Period");
  ui.se_vp_rByte = Make<QSpinBox>(
      page, "se_vp_rByte",
      QString::fromUtf8("Относительный срок действия: сколько сервисный центр хранит сообщение"));
  ui.se_vp_rByte->setRange(0, 255);
  ui.se_vp_rByte->setValue(167);
  ui.l_VPComment = Label(page, "l_VPComment", "24 h");
  ui.b_save_send = Button(page, "b_save_send", "Save Send Options",
                          "Сохранить срок действия в отдельный файл");
  ui.Label8 = Label(page, "Label8", "SMSC");
  ui.ed_smsc = Edit(page, "ed_smsc", "",
                    "SMS-центр, записанный в телефоне. Примеры для одной сети: "
                    "+79168999100 — уведомления о доставке по запросу, "
                    "+79168960438 — без уведомлений о доставке");
  ui.sb_saveSmsc = SpeedButton(page, "sb_saveSmsc", "Save to Telephone", "Записать SMS-центр в телефон");

  int r = 0;
  grid->addWidget(ui.ed_totel, r++, 0, 1, 3);
  grid->addWidget(ui.Ed_smsbody, r, 0, 1, 2);
  grid->addWidget(ui.L_lenManualsms, r++, 2);
  grid->addWidget(ui.Label7, r, 0);
  grid->addWidget(ui.ed_Ncopies, r, 1);
  grid->addWidget(ui.b_stop_sendcycle, r++, 2);
  grid->addWidget(ui.sb_sendSMS, r++, 0, 1, 3);
  grid->addWidget(ui.cb_SRR, r++, 0, 1, 3);
  grid->addWidget(ui.Label6, r, 0);
  grid->addWidget(ui.se_vp_rByte, r, 1);
  grid->addWidget(ui.l_VPComment, r++, 2);
  grid->addWidget(ui.b_save_send, r++, 0, 1, 3);
  grid->addWidget(ui.Label8, r, 0);
  grid->addWidget(ui.ed_smsc, r++, 1, 1, 2);
  grid->addWidget(ui.sb_saveSmsc, r++, 0, 1, 3);
  grid->setRowStretch(r, 1);
}

void BuildCalls(QWidget* page, Controls& ui) {
  auto* box = new QVBoxLayout(page);
  ui.cb_calls = Check(page, "cb_calls", "Receive (Reset) Incoming Calls", "Обрабатывать входящие звонки");
  ui.cb_call_save = Check(page, "cb_call_save", "Save Call as SMS",
                          "Сохранять пришедшие звонки на диск как сообщения");
  box->addWidget(ui.cb_calls);
  box->addWidget(ui.cb_call_save);
  box->addStretch(1);
}

void BuildAbout(QWidget* page, Controls& ui) {
  auto* box = new QVBoxLayout(page);
  ui.l_about = Label(page, "l_about",
                     "pdulink\n"
                     "SMS gateway for a GSM phone on a serial port\n"
                     "(3GPP TS 27.005 PDU mode)\n\n"
                     "Ctrl+Shift+T opens the Test page");
  ui.l_about->setAlignment(Qt::AlignCenter);
  box->addWidget(ui.l_about);
}

}  // namespace

void BuildControls(QMainWindow* window, Controls& ui) {
  auto* central = new QWidget(window);
  central->setObjectName(QStringLiteral("central"));
  window->setCentralWidget(central);
  auto* row = new QHBoxLayout(central);
  row->setContentsMargins(4, 4, 4, 4);

  auto* left = new QVBoxLayout();
  left->setSpacing(2);
  ui.led_connect = Make<Lamp>(central, "led_connect", QStringLiteral("Port and Program Status"));
  auto* lampRow = new QHBoxLayout();
  lampRow->addStretch(1);
  // The latest signal, empty until a signal check has run.
  ui.l_signal = Make<QLabel>(central, "l_signal", QString::fromUtf8("Уровень сигнала сети при последней проверке"));
  QFont small = ui.l_signal->font();
  small.setPointSizeF(small.pointSizeF() * 0.8);
  ui.l_signal->setFont(small);
  lampRow->addWidget(ui.l_signal);
  lampRow->addWidget(ui.led_connect);
  left->addLayout(lampRow);

  ui.Memo2 = Memo(central, "Memo2");
  QFont mono(QStringLiteral("Courier New"));
  mono.setStyleHint(QFont::Monospace);
  mono.setFamilies({QStringLiteral("Courier New"), QStringLiteral("DejaVu Sans Mono"),
                    QStringLiteral("Liberation Mono"), QStringLiteral("monospace")});
  ui.Memo2->setFont(mono);
  ui.Memo2->setReadOnly(true);
  ui.Memo2->setMinimumSize(345, 313);
  left->addWidget(ui.Memo2, 3);

  ui.smsfile = Memo(central, "smsfile");
  ui.smsfile->setReadOnly(true);
  ui.smsfile->setMinimumSize(345, 105);
  left->addWidget(ui.smsfile, 1);
  row->addLayout(left, 1);

  ui.pg1 = Make<QTabWidget>(central, "pg1");
  ui.pg1->setMinimumSize(321, 441);
  ui.pg1->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
  ui.ts1_main = Page(ui.pg1, "ts1_main", "Main");
  ui.ts2_setup = Page(ui.pg1, "ts2_setup", "Setup");
  ui.ts3_test = Page(ui.pg1, "ts3_test", "Test");
  ui.ts4_send = Page(ui.pg1, "ts4_send", "Send");
  ui.ts5_calls = Page(ui.pg1, "ts5_calls", "Calls");
  ui.ts6_about = Page(ui.pg1, "ts6_about", "About");
  BuildMain(ui.ts1_main, ui);
  BuildSetup(ui.ts2_setup, ui);
  BuildTest(ui.ts3_test, ui);
  BuildSend(ui.ts4_send, ui);
  BuildCalls(ui.ts5_calls, ui);
  BuildAbout(ui.ts6_about, ui);
  row->addWidget(ui.pg1);

  window->resize(696, 480);
}

std::string FileVersionText(const std::string& /*path*/) {
  // The version is compiled into the program from the build's project version.
  return PDULINK_VERSION_TEXT;
}

bool RemoveCloseCommand(const std::string& windowTitle) {
  const QString title = QString::fromStdString(windowTitle);
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (w->windowTitle() != title || !w->isWindow()) continue;
    bool visible = w->isVisible();
    w->setWindowFlag(Qt::CustomizeWindowHint, true);
    w->setWindowFlag(Qt::WindowCloseButtonHint, false);
    if (visible) w->show();  // new flags take effect on a shown window
    return true;
  }
  return false;
}
