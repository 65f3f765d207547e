#include "cdr_cloud.h"
#include "cdr_reading.h"

#include <fastcdr/Cdr.h>
#include <fastcdr/FastBuffer.h>
#include <fastcdr/exceptions/Exception.h>

#include <stdexcept>

namespace {

using eprosima::fastcdr::Cdr;

// The fewest bytes one PointField takes: an empty name's length and NUL,
// offset, datatype, count.
const std::size_t kSmallestField = 4 + 1 + 4 + 1 + 4;

// ROS 1 keeps bools as bytes; any non-zero byte is true, as there.
std::uint8_t ReadBoolByte(Cdr& cdr) {
  std::uint8_t value = 0;
  cdr >> value;
  return value;
}

void ReadCloud(Cdr& cdr, std::size_t size, sensor_msgs::PointCloud2& cloud) {
  cdr.read_encapsulation();
  std::int32_t sec = 0;
  std::uint32_t nanosec = 0;
  cdr >> sec >> nanosec;
  // ROS 1 times are unsigned; a negative ROS 2 second keeps its bits.
  cloud.header.stamp.sec = static_cast<std::uint32_t>(sec);
  cloud.header.stamp.nsec = nanosec;
  cloud.header.seq = 0;  // ROS 2 headers have no sequence number
  cloud.header.frame_id = ReadString(cdr, size, "frame_id");
  cdr >> cloud.height >> cloud.width;
  const std::uint32_t fields = ReadLength(cdr, size, kSmallestField, "fields");
  cloud.fields.resize(fields);
  for (sensor_msgs::PointField& field : cloud.fields) {
    field.name = ReadString(cdr, size, "a field's name");
    cdr >> field.offset >> field.datatype >> field.count;
  }
  cloud.is_bigendian = ReadBoolByte(cdr);
  cdr >> cloud.point_step >> cloud.row_step;
  const std::uint32_t bytes = ReadLength(cdr, size, 1, "data");
  // Copied straight in: a resize would first fill megabytes with zeros.
  const auto* start = reinterpret_cast<const std::uint8_t*>(cdr.getCurrentPosition());
  cloud.data.assign(start, start + bytes);
  cdr.jump(bytes);
  // Fast CDR aligns a value only after a smaller one; an empty read of
  // bytes tells it that bytes came last, as a deserialized array would.
  char none = 0;
  cdr.deserializeArray(&none, 0);
  cloud.is_dense = ReadBoolByte(cdr);
}

}  // namespace

// A string's or sequence's element count, refused when that many elements
// of `element_bytes` each cannot fit in what is left of the message.
std::uint32_t ReadLength(eprosima::fastcdr::Cdr& cdr, std::size_t size, std::size_t element_bytes,
                         const char* what) {
  std::uint32_t length = 0;
  cdr >> length;
  const std::size_t left = size - cdr.getSerializedDataLength();
  if (length > left / element_bytes) {
    throw std::runtime_error(std::string(what) + " claims " + std::to_string(length) +
                             (element_bytes == 1 ? " bytes" : " entries") + ", but " +
                             std::to_string(left) + " bytes are left in the message");
  }
  return length;
}

std::string ReadString(eprosima::fastcdr::Cdr& cdr, std::size_t size, const char* what) {
  const std::uint32_t length = ReadLength(cdr, size, 1, what);
  std::string text(length, '\0');
  cdr.deserializeArray(&text[0], length);
  // CDR counts a string's terminating NUL in its length.
  if (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

std::string ReadCdrCloud(const std::uint8_t* data, std::size_t size,
                         sensor_msgs::PointCloud2& cloud) {
  // Fast CDR takes a writable buffer but only reads from it here.
  eprosima::fastcdr::FastBuffer buffer(const_cast<char*>(reinterpret_cast<const char*>(data)),
                                       size);
  Cdr cdr(buffer, Cdr::DEFAULT_ENDIAN, Cdr::DDS_CDR);
  try {
    ReadCloud(cdr, size, cloud);
  } catch (const eprosima::fastcdr::exception::Exception& e) {
    return "CDR message of " + std::to_string(size) + " bytes ends early or is not CDR (" +
           e.what() + ")";
  } catch (const std::runtime_error& e) {
    return "CDR message of " + std::to_string(size) + " bytes: " + e.what();
  }
  return "";
}
