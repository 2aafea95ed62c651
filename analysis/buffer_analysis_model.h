// The buffer replay of the analyser's window and of psverify, in one
// include: the P-STD / STD replay of program streams and MPEG-1 system
// streams (ps/), built on the access-unit splitters (es/) and the buffer
// models (buffer/).
#pragma once

#include "buffer/buffer_event.h"
#include "buffer/decoder_buffer.h"
#include "es/au_splitter.h"
#include "es/es_kind.h"
#include "ps/buffer_size_policy.h"
#include "ps/pstd_replay.h"
#include "ps/streaming_replay.h"
