// SPDX-License-Identifier: MIT
//
// internal.h - the engine's insides, shared between its stages and its tests,
// benchmarks and fuzzers. Nothing here is promised to a host: the host's door
// is engine/trirotor.h. Everything below lives in namespace
// trirotor::internal (the platform layer's own calls in trirotor::platform).
//
//   platform/platform.h    the host services only the engine calls (pauses,
//                          block copy, raising errors, one character's code)
//   engine/checked.h       checked indexing, the 32-bit size guard, rounding
//   engine/reduce.h        branch-free reductions for the rotor loops
//   engine/base64.h        base64 decoding (and encoding), Base64Index, the
//                          shift helpers, DecodeBase64BytesSimple
//   engine/key_schedule.h  CipherState and InitCipher
//   engine/key_group.h     sixteen keys scheduled and tried side by side
//   engine/keystream.h     the keystream, DecryptBuffer / EncryptBuffer and
//                          their one-byte-at-a-time twins
//   engine/frame.h         the frame: its layout, CheckFrame, FrameContainer
//   engine/container.h     the HE0 / HE3 container, both directions, and
//                          HuffmanDecodeSimple
//   engine/encode.h        RandomFrameHeader and SealContainer
//   engine/salvage.h       reading a damaged container without trusting it
//
// LastError, AbortFlag and Progress are the public header's. Outside the
// engine, tests, benchmarks and fuzzers, nothing includes an engine/ header
// other than engine/trirotor.h; the build checks it.
#pragma once

#include "engine/base64.h"
#include "engine/checked.h"
#include "engine/container.h"
#include "engine/encode.h"
#include "engine/frame.h"
#include "engine/key_group.h"
#include "engine/key_schedule.h"
#include "engine/keystream.h"
#include "engine/reduce.h"
#include "engine/trirotor.h"
#include "platform/platform.h"
