#include "platform/sdp_answer.h"

namespace tarvel {
namespace {

// SDP data element types (the top five bits of an element's first byte).
constexpr uint8_t kUnsigned = 1;
constexpr uint8_t kUuid = 3;
constexpr uint8_t kSequence = 6;
constexpr uint8_t kAlternative = 7;

constexpr uint16_t kProtocolDescriptorList = 0x0004;
constexpr uint32_t kRfcommUuid = 0x0003;
// The Bluetooth base UUID after its first four bytes: a 128-bit UUID that
// ends so is a short UUID written long.
constexpr uint8_t kBaseUuidTail[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                                       0x00, 0x80, 0x5f, 0x9b, 0x34, 0xfb};

struct Element {
  uint8_t type = 0;
  const uint8_t* data = nullptr;
  size_t size = 0;
};

// A run of bytes, read element by element from its start.
class Elements {
 public:
  Elements(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  explicit Elements(const Element& container) : Elements(container.data, container.size) {}

  // The next element; false at the end or when it does not fit.
  bool Next(Element* element) {
    if (at_ >= size_) return false;
    uint8_t header = data_[at_++];
    element->type = static_cast<uint8_t>(header >> 3);
    uint8_t sizeIndex = header & 7;
    size_t length = 0;
    if (sizeIndex <= 4) {
      length = element->type == 0 ? 0 : size_t{1} << sizeIndex;
    } else if (!ReadLength(size_t{1} << (sizeIndex - 5), &length)) {
      return false;
    }
    if (length > size_ - at_) {
      at_ = size_;
      return false;
    }
    element->data = data_ + at_;
    element->size = length;
    at_ += length;
    return true;
  }

 private:
  bool ReadLength(size_t bytes, size_t* length) {
    if (bytes > size_ - at_) return false;
    *length = 0;
    for (size_t i = 0; i < bytes; ++i) *length = (*length << 8) | data_[at_++];
    return true;
  }

  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// An unsigned integer of up to four bytes.
bool Unsigned(const Element& element, uint32_t* value) {
  if (element.type != kUnsigned || element.size > 4) return false;
  *value = 0;
  for (size_t i = 0; i < element.size; ++i) *value = (*value << 8) | element.data[i];
  return true;
}

bool IsRfcomm(const Element& uuid) {
  if (uuid.type != kUuid) return false;
  uint32_t value = 0;
  if (uuid.size == 16) {
    for (size_t i = 0; i < 12; ++i) {
      if (uuid.data[4 + i] != kBaseUuidTail[i]) return false;
    }
  } else if (uuid.size != 2 && uuid.size != 4) {
    return false;
  }
  size_t shortSize = uuid.size == 16 ? 4 : uuid.size;
  for (size_t i = 0; i < shortSize; ++i) value = (value << 8) | uuid.data[i];
  return value == kRfcommUuid;
}

// One protocol stack: a sequence of descriptors, each a sequence of a
// protocol's UUID and its parameters; RFCOMM's first parameter is the channel.
int ChannelInStack(const Element& stack) {
  if (stack.type != kSequence) return 0;
  Elements descriptors(stack);
  Element descriptor;
  while (descriptors.Next(&descriptor)) {
    if (descriptor.type != kSequence) continue;
    Elements parts(descriptor);
    Element uuid, channel;
    uint32_t value = 0;
    if (!parts.Next(&uuid) || !IsRfcomm(uuid)) continue;
    if (parts.Next(&channel) && channel.size == 1 && Unsigned(channel, &value) && value >= 1 &&
        value <= 30) {
      return static_cast<int>(value);
    }
  }
  return 0;
}

// A record's protocol descriptor list: one stack, or alternatives of several.
int ChannelInProtocols(const Element& protocols) {
  if (protocols.type != kAlternative) return ChannelInStack(protocols);
  Elements stacks(protocols);
  Element stack;
  while (stacks.Next(&stack)) {
    if (int channel = ChannelInStack(stack)) return channel;
  }
  return 0;
}

// One record's attribute list: pairs of an attribute's number and its value.
int ChannelInRecord(const Element& record) {
  Elements attributes(record);
  Element id, value;
  while (attributes.Next(&id) && attributes.Next(&value)) {
    uint32_t number = 0;
    if (id.size == 2 && Unsigned(id, &number) && number == kProtocolDescriptorList) {
      return ChannelInProtocols(value);
    }
  }
  return 0;
}

}  // namespace

int SerialPortChannelInAnswer(const uint8_t* answer, size_t size) {
  if (!answer) return 0;
  Elements whole(answer, size);
  Element lists;
  if (!whole.Next(&lists) || lists.type != kSequence) return 0;
  Elements records(lists);
  Element record;
  while (records.Next(&record)) {
    if (record.type != kSequence) return 0;
    if (int channel = ChannelInRecord(record)) return channel;
  }
  return 0;
}

}  // namespace tarvel
