#pragma once
// Someone starting or stopping to talk is most of what the voice client sends: every word of
// every client in view is two frames. Such a frame is read here without building a document,
// into the three fields the mirror takes from it (Mirror::applyTalkStatus).
//
// Only a frame that reads the same either way is taken: a JSON object of exactly "type"
// "talkStatusChanged" and a "payload" object of plain values, with no key given twice. Any
// other frame, valid or not, gives nothing and goes the way of every message: parsed whole
// and applied by Mirror::apply, which then decides as it always did.

#include "bridge/mirror.h"

#include <optional>
#include <string_view>

namespace bridge {

std::optional<TalkStatus> readTalkStatus(std::string_view frame);

}  // namespace bridge
