// The page's handle on the engine: the image through the loader, the job the start button
// starts and the step its timer calls, and what the page shows of them.
#include <cstdlib>
#include <string>

#include "diag/trace.h"
#include "engine/frame.h"
#include "engine/image.h"
#include "engine/update_job.h"
#include "loader/image_load.h"
#include "webcore/web_api.h"

WEB_IMPORT("trace") void js_trace(const char* piece);

namespace {

UpdateJob job{};
uint8_t frame[FRAME_CAPACITY];
ImageFormat format = ImageRaw;
uint32_t image_length = 0;  // before padding
std::string error;

void to_page(void*, const char* piece) { js_trace(piece); }

}  // namespace

WEB_EXPORT("web_init") void web_init() { trace_to_sink(to_page, nullptr); }

WEB_EXPORT("web_alloc") void* web_alloc(uint32_t size) { return malloc(size ? size : 1); }
WEB_EXPORT("web_free") void web_free(void* block) { free(block); }

// The format the first bytes of a file announce, so the page can hold a file over the loader's
// limits against the limit of its kind before reading it whole.
WEB_EXPORT("web_format_of") uint32_t web_format_of(const uint8_t* data, uint32_t size) {
  return image_format_of(data, size);
}
WEB_EXPORT("web_limit") uint32_t web_limit(uint32_t format_code) {
  return format_code == ImageRaw ? LOADER_IMAGE_MAX : LOADER_FILE_MAX;
}

// Replaces the job's image only when the new one is accepted: a refused file leaves the one
// shown before in place, so what the page shows is always what would be written.
WEB_EXPORT("web_image_load")
bool web_image_load(const char* name, const uint8_t* data, uint32_t size) {
  LoadedImage loaded;
  error.clear();
  if (!image_parse(name, data, size, loaded, error)) return false;
  if (job.state != Start && job.state != Done && job.state != Failed) {
    error = "an update is running";
    return false;
  }
  UpdateJob next = job;
  if (!image_fill(next, loaded.bytes.data(), static_cast<uint32_t>(loaded.bytes.size()))) {
    error = std::string(name) + ": not enough memory for the image";
    return false;
  }
  free(job.image);
  job = next;
  format = loaded.format;
  image_length = static_cast<uint32_t>(loaded.bytes.size());
  return true;
}

WEB_EXPORT("web_error") const char* web_error() { return error.c_str(); }
WEB_EXPORT("web_image_format") const char* web_image_format() { return image_format_name(format); }
WEB_EXPORT("web_image_length") uint32_t web_image_length() { return image_length; }
WEB_EXPORT("web_image_size") int32_t web_image_size() { return job.image ? job.image_size : 0; }
WEB_EXPORT("web_image_crc") uint32_t web_image_crc() {
  return job.image ? frame_crc(job.image, job.image_size) : 0;
}

// What the start button does, on the channel chosen; nothing starts without an image.
WEB_EXPORT("web_job_start") bool web_job_start(uint32_t channel) {
  if (!job.image) return false;
  web_channel_set(channel == ChannelSimLine ? ChannelSimLine : ChannelPage);
  job.port_path = nullptr;
  job.port = &job;  // any handle but PORT_INVALID: the channel is chosen above
  job.baud = 115200;
  job.target_address = TARGET_ADDRESS;
  job.receive_capacity = FRAME_CAPACITY;
  job.frame = frame;
  // quarv-flash's link set-up: the probe's reply is read before the next probe, and the first
  // block follows it at once. The page's trace shows that, where the dialog's shows its pacing.
  job.read_probe_reply = true;
  job.state = Start;
  return true;
}

WEB_EXPORT("web_job_step") uint32_t web_job_step() {
  job_step(job);
  return job.state;
}

WEB_EXPORT("web_job_state") uint32_t web_job_state() { return job.state; }
WEB_EXPORT("web_job_offset") int32_t web_job_offset() { return job.offset; }
// What the page tells of the line beside the state: echoed requests, and time without an answer.
WEB_EXPORT("web_job_echoes") uint32_t web_job_echoes() { return job.echoes; }
WEB_EXPORT("web_job_quiet_ms") uint32_t web_job_quiet_ms() { return job_quiet_ms(job); }
WEB_EXPORT("web_no_answer_ms") uint32_t web_no_answer_ms() { return NO_ANSWER_TELL_MS; }
// The device's CRC of the region, as the verify step read it from the reply it judged.
WEB_EXPORT("web_region_crc") uint32_t web_region_crc() { return reply_region_crc(job); }
// Stops the job where it is; the next start begins from the first block.
WEB_EXPORT("web_job_cancel") void web_job_cancel() { job.state = Start; }

// A read may end as soon as its bytes end in their own checksum, as quarv-flash's reads do,
// rather than waiting out the line's quiet time after every reply.
WEB_EXPORT("web_bytes_are_reply") bool web_bytes_are_reply(const uint8_t* bytes, uint32_t n) {
  return bytes_are_reply(bytes, static_cast<int32_t>(n));
}
