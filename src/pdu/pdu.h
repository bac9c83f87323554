// The SMS PDU codec: helpers, GSM alphabet, decoder and user-data builder.
#pragma once

#include "codepage.h"
#include "gsm_alphabet.h"
#include "sms_decode.h"
#include "sms_msg.h"
#include "sms_submit.h"
#include "text_helpers.h"
