// The steps a plug-in fuzz input is made of, shared by the target and the seed generator.
// Each input is a sequence of steps, each a step byte (modulo the count) and the bytes the
// step reads after it: choosing a plug-in object reads a byte only when there is one to choose,
// choosing a host handle always reads one (0 picks no handle, n the n-th of the kinds the
// message takes, in the order they were made).
#pragma once

#include <cstdint>

namespace korvadin_fuzz {

enum PluginOp : uint8_t {
    opCreateEncoder,
    opCreateContainer,
    opSetCallback,
    opOpen,
    opOpenWithSize,
    opFrameOfSize,
    opFrame,
    opCodecQuestion,
    opInitOrOpen,
    opOpenFile,
    opAddTrack,
    opPacket,
    opClose,
    opAddRefOrRelease,
    opMakeHostObject,
    opSetProperty,
    opReleaseHostObject,
    opWrongObject,
    opPluginMessage,
    opPacketOfSize,
    opPortableLoops,
    opHostRefusals,
    opCount
};

} // namespace korvadin_fuzz
