// The SWF tag and action codes that the reader understands, by name.
#pragma once

#include <cstdint>

namespace swf {

enum class TagCode : uint16_t {
  End = 0,
  DefineButton = 7,
  SetBackgroundColor = 9,
  DoAction = 12,
  PlaceObject2 = 26,
  DefineButton2 = 34,
  DefineEditText = 37,
  DefineSprite = 39,
  ImportAssets = 57,
  DoInitAction = 59,
  PlaceObject3 = 70,
  ImportAssets2 = 71,
  DoABC = 72,
  DoABC2 = 82,
};

// AVM1 actions: codes from 0x80 carry a 16-bit length and a body.
enum class ActionCode : uint8_t {
  End = 0x00,
  PushDuplicate = 0x4C,
  GetUrl = 0x83,
  ConstantPool = 0x88,
  Push = 0x96,
  GetUrl2 = 0x9A,
};
constexpr uint8_t kFirstActionWithBody = 0x80;

// The value types of a Push action.
enum class PushType : uint8_t {
  String = 0,
  Float = 1,
  Null = 2,
  Undefined = 3,
  Register = 4,
  Boolean = 5,
  Double = 6,
  Integer = 7,
  Constant8 = 8,
  Constant16 = 9,
};

}  // namespace swf
