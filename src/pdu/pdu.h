// The SMS PDU codec: helpers, GSM alphabet, decoder, archive formatting and
// user-data builder.
#pragma once

#include "archive_files.h"
#include "codepage.h"
#include "gsm_alphabet.h"
#include "sms_archive.h"
#include "sms_decode.h"
#include "sms_msg.h"
#include "sms_submit.h"
#include "text_helpers.h"
