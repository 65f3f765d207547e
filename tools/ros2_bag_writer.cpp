#include "ros2_bag_writer.h"

#include <fastcdr/Cdr.h>
#include <fastcdr/FastBuffer.h>
#include <rosbag/bag.h>
#include <rosbag/view.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace ros2_bag_writer {
namespace {

using eprosima::fastcdr::Cdr;

void Check(int result, sqlite3* db, const char* what) {
  if (result != SQLITE_OK && result != SQLITE_DONE) {
    throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(db));
  }
}

void Execute(sqlite3* db, const std::string& sql) {
  Check(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), db, sql.c_str());
}

std::vector<std::uint8_t> Compressed(const std::vector<std::uint8_t>& bytes) {
  std::vector<std::uint8_t> out(ZSTD_compressBound(bytes.size()));
  const std::size_t size = ZSTD_compress(out.data(), out.size(), bytes.data(), bytes.size(), 1);
  if (ZSTD_isError(size)) throw std::runtime_error(ZSTD_getErrorName(size));
  out.resize(size);
  return out;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// One .db3 file with rosbag2's tables. Topic ids are numbered from
// `first_id` down to make each file's ids its own.
void WriteFile(const std::string& path, const std::vector<const Message*>& messages,
               bool compress_messages, int first_id) {
  unlink(path.c_str());
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open(path.c_str(), &raw);
  std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db(raw, sqlite3_close);
  Check(opened, raw, path.c_str());
  Execute(raw,
          "CREATE TABLE topics(id INTEGER PRIMARY KEY, name TEXT NOT NULL, type TEXT NOT NULL,"
          " serialization_format TEXT NOT NULL, offered_qos_profiles TEXT NOT NULL);"
          "CREATE TABLE messages(id INTEGER PRIMARY KEY, topic_id INTEGER NOT NULL,"
          " timestamp INTEGER NOT NULL, data BLOB NOT NULL);"
          "CREATE INDEX timestamp_idx ON messages (timestamp ASC);"
          "BEGIN;");
  std::map<std::string, int> ids;
  sqlite3_stmt* topic = nullptr;
  sqlite3_stmt* message = nullptr;
  Check(sqlite3_prepare_v2(raw, "INSERT INTO topics VALUES (?1, ?2, ?3, ?4, '')", -1, &topic,
                           nullptr),
        raw, "topics");
  Check(sqlite3_prepare_v2(raw,
                           "INSERT INTO messages (topic_id, timestamp, data) VALUES (?1, ?2, ?3)",
                           -1, &message, nullptr),
        raw, "messages");
  for (const Message* m : messages) {
    auto [at, added] = ids.emplace(m->topic, first_id - static_cast<int>(ids.size()));
    if (added) {
      sqlite3_bind_int(topic, 1, at->second);
      sqlite3_bind_text(topic, 2, m->topic.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(topic, 3, m->type.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(topic, 4, m->serialization.c_str(), -1, SQLITE_TRANSIENT);
      Check(sqlite3_step(topic), raw, "topic");
      sqlite3_reset(topic);
    }
    const std::vector<std::uint8_t> data = compress_messages ? Compressed(m->data) : m->data;
    sqlite3_bind_int(message, 1, at->second);
    sqlite3_bind_int64(message, 2, m->time_ns);
    sqlite3_bind_blob64(message, 3, data.data(), data.size(), SQLITE_TRANSIENT);
    Check(sqlite3_step(message), raw, "message");
    sqlite3_reset(message);
  }
  sqlite3_finalize(topic);
  sqlite3_finalize(message);
  Execute(raw, "COMMIT;");
}

void CompressFile(const std::string& path, const std::string& out_path) {
  const std::string bytes = ReadAll(path);
  const std::vector<std::uint8_t> compressed =
      Compressed(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
  std::ofstream(out_path, std::ios::binary)
      .write(reinterpret_cast<const char*>(compressed.data()),
             static_cast<std::streamsize>(compressed.size()));
  unlink(path.c_str());
}

std::string BaseName(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const std::size_t slash = trimmed.rfind('/');
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

}  // namespace

namespace {

std::vector<std::uint8_t> BytesOf(const eprosima::fastcdr::FastBuffer& buffer,
                                  const eprosima::fastcdr::Cdr& cdr) {
  const auto* start = reinterpret_cast<const std::uint8_t*>(buffer.getBuffer());
  return std::vector<std::uint8_t>(start, start + cdr.getSerializedDataLength());
}

void PutHeader(eprosima::fastcdr::Cdr& cdr, const std_msgs::Header& header) {
  cdr << static_cast<std::int32_t>(header.stamp.sec) << header.stamp.nsec << header.frame_id;
}

}  // namespace

std::vector<std::uint8_t> CdrTransforms(const tf2_msgs::TFMessage& message) {
  eprosima::fastcdr::FastBuffer buffer;
  Cdr cdr(buffer, Cdr::LITTLE_ENDIANNESS, Cdr::DDS_CDR);
  cdr.serialize_encapsulation();
  cdr << static_cast<std::uint32_t>(message.transforms.size());
  for (const geometry_msgs::TransformStamped& t : message.transforms) {
    PutHeader(cdr, t.header);
    const auto& v = t.transform.translation;
    const auto& q = t.transform.rotation;
    cdr << t.child_frame_id << v.x << v.y << v.z << q.x << q.y << q.z << q.w;
  }
  return BytesOf(buffer, cdr);
}

std::vector<std::uint8_t> CdrImu(const sensor_msgs::Imu& imu) {
  eprosima::fastcdr::FastBuffer buffer;
  Cdr cdr(buffer, Cdr::LITTLE_ENDIANNESS, Cdr::DDS_CDR);
  cdr.serialize_encapsulation();
  PutHeader(cdr, imu.header);
  const auto& q = imu.orientation;
  cdr << q.x << q.y << q.z << q.w;
  for (double c : imu.orientation_covariance) cdr << c;
  cdr << imu.angular_velocity.x << imu.angular_velocity.y << imu.angular_velocity.z;
  for (double c : imu.angular_velocity_covariance) cdr << c;
  cdr << imu.linear_acceleration.x << imu.linear_acceleration.y << imu.linear_acceleration.z;
  for (double c : imu.linear_acceleration_covariance) cdr << c;
  return BytesOf(buffer, cdr);
}

std::vector<std::uint8_t> CdrCloud(const sensor_msgs::PointCloud2& cloud, bool big_endian) {
  eprosima::fastcdr::FastBuffer buffer;
  Cdr cdr(buffer, big_endian ? Cdr::BIG_ENDIANNESS : Cdr::LITTLE_ENDIANNESS, Cdr::DDS_CDR);
  cdr.serialize_encapsulation();
  cdr << static_cast<std::int32_t>(cloud.header.stamp.sec) << cloud.header.stamp.nsec
      << cloud.header.frame_id << cloud.height << cloud.width
      << static_cast<std::uint32_t>(cloud.fields.size());
  for (const sensor_msgs::PointField& field : cloud.fields) {
    cdr << field.name << field.offset << field.datatype << field.count;
  }
  cdr << cloud.is_bigendian << cloud.point_step << cloud.row_step
      << static_cast<std::uint32_t>(cloud.data.size());
  cdr.serializeArray(cloud.data.data(), cloud.data.size());
  cdr << cloud.is_dense;
  const auto* start = reinterpret_cast<const std::uint8_t*>(buffer.getBuffer());
  return std::vector<std::uint8_t>(start, start + cdr.getSerializedDataLength());
}

void WriteRos2Bag(const std::string& path, const std::vector<Message>& messages,
                  const Options& options) {
  std::vector<const Message*> in_order;
  in_order.reserve(messages.size());
  for (const Message& m : messages) in_order.push_back(&m);
  std::stable_sort(in_order.begin(), in_order.end(),
                   [](const Message* a, const Message* b) { return a->time_ns < b->time_ns; });
  const bool compress_messages = options.compression == Compression::kMessage;
  if (path.size() > 4 && path.compare(path.size() - 4, 4, ".db3") == 0) {
    WriteFile(path, in_order, compress_messages, 1000);
    return;
  }
  mkdir(path.c_str(), 0755);
  const int files = std::max(1, options.files);
  std::ostringstream listing;
  for (int n = 0; n < files; ++n) {
    std::string name = n < static_cast<int>(options.file_names.size())
                           ? options.file_names[n]
                           : BaseName(path) + "_" + std::to_string(n) + ".db3";
    const auto count = static_cast<std::ptrdiff_t>(in_order.size());
    const std::ptrdiff_t begin = count * n / files, end = count * (n + 1) / files;
    const std::string file = path + "/" + name;
    WriteFile(file, std::vector<const Message*>(in_order.begin() + begin, in_order.begin() + end),
              compress_messages, 1000 - 7 * n);
    if (options.compression == Compression::kFile) {
      CompressFile(file, file + ".zstd");
      name += ".zstd";
    }
    listing << "    - " << name << "\n";
  }
  const char* mode = options.compression == Compression::kFile      ? "FILE"
                     : options.compression == Compression::kMessage ? "MESSAGE"
                                                                    : "";
  std::ofstream(path + "/metadata.yaml")
      << "rosbag2_bagfile_information:\n"
      << "  version: 5\n"
      << "  storage_identifier: sqlite3\n"
      << "  relative_file_paths:\n"
      << listing.str() << "  message_count: " << messages.size() << "\n"
      << "  compression_format: \"" << (*mode != '\0' ? "zstd" : "") << "\"\n"
      << "  compression_mode: \"" << mode << "\"\n";
}

namespace {

// Every message of a ROS 1 bag: clouds in CDR under ROS 2 type names, or,
// with `ros1_profile`, every message with its ROS 1 bytes and type name.
std::vector<Message> Messages(const std::string& ros1_path, bool big_endian_cdr,
                              bool ros1_profile) {
  rosbag::Bag bag(ros1_path, rosbag::bagmode::Read);
  std::vector<Message> messages;
  for (const rosbag::MessageInstance& m : rosbag::View(bag)) {
    Message message;
    message.topic = m.getTopic();
    message.time_ns = static_cast<std::int64_t>(m.getTime().toNSec());
    std::string type = m.getDataType();
    const std::size_t slash = type.find('/');
    message.type = slash == std::string::npos || ros1_profile
                       ? type
                       : type.substr(0, slash) + "/msg" + type.substr(slash);
    auto cloud = ros1_profile ? nullptr : m.instantiate<sensor_msgs::PointCloud2>();
    auto tf = ros1_profile || (type != "tf2_msgs/TFMessage" && type != "tf/tfMessage")
                  ? nullptr
                  : m.instantiate<tf2_msgs::TFMessage>();
    auto imu =
        ros1_profile || type != "sensor_msgs/Imu" ? nullptr : m.instantiate<sensor_msgs::Imu>();
    if (cloud) {
      message.data = CdrCloud(*cloud, big_endian_cdr);
    } else if (tf) {
      message.type = "tf2_msgs/msg/TFMessage";
      message.data = CdrTransforms(*tf);
    } else if (imu) {
      message.data = CdrImu(*imu);
    } else {
      message.data.resize(m.size());
      ros::serialization::OStream stream(message.data.data(),
                                         static_cast<std::uint32_t>(message.data.size()));
      m.write(stream);
    }
    if (ros1_profile) message.serialization = "ros1";
    messages.push_back(std::move(message));
  }
  return messages;
}

}  // namespace

std::vector<Message> MessagesOfRos1Bag(const std::string& ros1_path, bool big_endian_cdr) {
  return Messages(ros1_path, big_endian_cdr, false);
}

std::vector<Message> Ros1MessagesOfRos1Bag(const std::string& ros1_path) {
  return Messages(ros1_path, false, true);
}

}  // namespace ros2_bag_writer
