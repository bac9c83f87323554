// The list type and the Delete box where the window meets the listing: the
// listing shows the type it used in the combo box, and that write by the
// program must not undo the operator's Delete.
#include <QCheckBox>
#include <QComboBox>
#include <QToolButton>

#include "GatewayFixture.h"

namespace {

TEST_F(GatewayTest, ListingWithNoTypeChosenKeepsDeleteAndDeletes) {
  Start("", {"--memories", "SM"});
  ASSERT_TRUE(phone->Ok(phone->Control("deliver +4915112345678 One")));
  ASSERT_TRUE(phone->Ok(phone->Control("deliver +4915112345678 Two")));
  Connect();
  ASSERT_EQ(form->ui().cb_smstype->currentIndex(), -1);  // a fresh start: no type chosen
  form->ui().cb_deletesms->setChecked(true);
  form->ui().sb_listSMS->click();
  ASSERT_TRUE(RunUntil([this] { return !form->ui().sb_listSMS->isChecked(); })) << Journal();
  EXPECT_TRUE(JournalHas("TotalReaded=2")) << Journal();
  EXPECT_EQ(form->ui().cb_smstype->currentIndex(), 0);
  EXPECT_TRUE(form->ui().cb_deletesms->isChecked());
  std::vector<std::string> deletes;
  for (const auto& line : Received())
    if (line.rfind("AT+CMGD=", 0) == 0) deletes.push_back(line);
  EXPECT_EQ(deletes, (std::vector<std::string>{"AT+CMGD=1\\r", "AT+CMGD=2\\r"})) << phone->Transcript();
  EXPECT_EQ(phone->Control("dump stored"), "OK\n");
}

}  // namespace
