#include "image_io.h"

#include <png.h>
#include <sys/stat.h>
// jpeglib.h needs FILE and size_t declared before it.
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <jpeglib.h>

#include <array>
#include <memory>

namespace quilm_tools {

DepthImage::DepthImage(int w, int h)
    : width(w), height(h), pixels(static_cast<std::size_t>(w) * static_cast<std::size_t>(h), 0) {}

ColorImage::ColorImage(int w, int h)
    : width(w), height(h), rgb(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 3, 0) {}

std::optional<ImageSize> ParseImageSize(const std::string& text) {
  int w = 0;
  int h = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%dx%d%c", &w, &h, &tail) != 2) return std::nullopt;
  if (w < 1 || h < 1 || w > kMaxImageSide || h > kMaxImageSide) return std::nullopt;
  return ImageSize{w, h};
}

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File OpenForReading(const std::string& path) {
  File f(std::fopen(path.c_str(), "rb"));
  if (!f) throw ImageError("cannot open '" + path + "': " + std::strerror(errno));
  return f;
}

File OpenForWriting(const std::string& path) {
  File f(std::fopen(path.c_str(), "wb"));
  if (!f) throw ImageError("cannot create '" + path + "': " + std::strerror(errno));
  return f;
}

// Closes a written file and reports a failed write or flush (disk full, ...).
void CloseWritten(File f, const std::string& path) {
  const bool had_error = std::ferror(f.get()) != 0;
  const int close_result = std::fclose(f.release());
  if (had_error || close_result != 0) {
    throw ImageError("cannot write '" + path + "': " + std::strerror(errno));
  }
}

// Removes what a failed write left behind; only a regular file, never a
// device or a pipe that was named as the output.
void RemovePartialFile(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) std::remove(path.c_str());
}

void CheckSize(const std::string& path, long long w, long long h) {
  if (w < 1 || h < 1 || w > kMaxImageSide || h > kMaxImageSide || w * h > kMaxImagePixels) {
    throw ImageError("'" + path + "' has an unsupported size " + std::to_string(w) + "x" +
                     std::to_string(h));
  }
}

enum class FileKind { kPng, kJpeg, kOther };

FileKind SniffKind(std::FILE* f) {
  std::array<unsigned char, 8> head{};
  const std::size_t n = std::fread(head.data(), 1, head.size(), f);
  std::rewind(f);
  if (n == head.size() && png_sig_cmp(head.data(), 0, head.size()) == 0) return FileKind::kPng;
  if (n >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF) return FileKind::kJpeg;
  return FileKind::kOther;
}

bool IsLittleEndianHost() {
  const std::uint16_t probe = 1;
  unsigned char first = 0;
  std::memcpy(&first, &probe, 1);
  return first == 1;
}

// ---- libpng ------------------------------------------------------------
//
// libpng reports errors by longjmp.  Every function below that calls into
// libpng sets its own jump target and holds no C++ object with a destructor,
// so a jump never skips one; the C++ side (buffers, the file) lives in the
// callers.

struct PngContext {
  png_structp png = nullptr;
  png_infop info = nullptr;
  char message[200] = {};
};

extern "C" void OnPngError(png_structp png, png_const_charp text) {
  auto* ctx = static_cast<PngContext*>(png_get_error_ptr(png));
  std::snprintf(ctx->message, sizeof ctx->message, "%s", text);
  png_longjmp(png, 1);
}

extern "C" void OnPngWarning(png_structp, png_const_charp) {}

struct PngReadHeader {
  png_uint_32 width = 0;
  png_uint_32 height = 0;
  int bit_depth = 0;
  int color_type = 0;
};

class PngReader {
 public:
  PngReader() {
    ctx_.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &ctx_, OnPngError, OnPngWarning);
    if (ctx_.png) ctx_.info = png_create_info_struct(ctx_.png);
    if (!ctx_.png || !ctx_.info) throw std::bad_alloc();
    png_set_user_limits(ctx_.png, kMaxImageSide, kMaxImageSide);
  }
  ~PngReader() { png_destroy_read_struct(&ctx_.png, &ctx_.info, nullptr); }
  PngReader(const PngReader&) = delete;
  PngReader& operator=(const PngReader&) = delete;

  PngContext& ctx() { return ctx_; }

 private:
  PngContext ctx_;
};

bool PngReadInfo(PngContext& ctx, std::FILE* f, PngReadHeader* header) {
  if (setjmp(png_jmpbuf(ctx.png))) return false;
  png_init_io(ctx.png, f);
  png_read_info(ctx.png, ctx.info);
  header->width = png_get_image_width(ctx.png, ctx.info);
  header->height = png_get_image_height(ctx.png, ctx.info);
  header->bit_depth = png_get_bit_depth(ctx.png, ctx.info);
  header->color_type = png_get_color_type(ctx.png, ctx.info);
  return true;
}

// Sets the transforms to 8-bit RGB(A) and returns the channels per pixel.
bool PngPrepareColor(PngContext& ctx, int* channels) {
  if (setjmp(png_jmpbuf(ctx.png))) return false;
  png_set_palette_to_rgb(ctx.png);
  png_set_expand_gray_1_2_4_to_8(ctx.png);
  png_set_gray_to_rgb(ctx.png);
  png_set_strip_16(ctx.png);
  png_set_interlace_handling(ctx.png);
  png_read_update_info(ctx.png, ctx.info);
  *channels = png_get_channels(ctx.png, ctx.info);
  return true;
}

bool PngPrepareDepth(PngContext& ctx, bool swap_bytes) {
  if (setjmp(png_jmpbuf(ctx.png))) return false;
  if (swap_bytes) png_set_swap(ctx.png);
  png_set_interlace_handling(ctx.png);
  png_read_update_info(ctx.png, ctx.info);
  return true;
}

bool PngReadRows(PngContext& ctx, png_bytepp rows) {
  if (setjmp(png_jmpbuf(ctx.png))) return false;
  png_read_image(ctx.png, rows);
  png_read_end(ctx.png, nullptr);
  return true;
}

[[noreturn]] void ThrowPngError(const std::string& path, const PngContext& ctx) {
  throw ImageError("cannot read PNG '" + path + "': " + ctx.message);
}

std::vector<png_bytep> RowPointers(std::uint8_t* data, std::size_t row_bytes, int height) {
  std::vector<png_bytep> rows(static_cast<std::size_t>(height));
  for (std::size_t r = 0; r < rows.size(); ++r) rows[r] = data + r * row_bytes;
  return rows;
}

const char* PngColorTypeName(int color_type) {
  switch (color_type) {
    case PNG_COLOR_TYPE_GRAY: return "greyscale";
    case PNG_COLOR_TYPE_GRAY_ALPHA: return "greyscale with alpha";
    case PNG_COLOR_TYPE_PALETTE: return "palette";
    case PNG_COLOR_TYPE_RGB: return "RGB";
    case PNG_COLOR_TYPE_RGB_ALPHA: return "RGB with alpha";
    default: return "unknown";
  }
}

DepthImage ReadDepthPng(const std::string& path, std::FILE* f) {
  PngReader reader;
  PngReadHeader header;
  if (!PngReadInfo(reader.ctx(), f, &header)) ThrowPngError(path, reader.ctx());
  if (header.color_type != PNG_COLOR_TYPE_GRAY || header.bit_depth != 16) {
    throw ImageError("'" + path + "' is a PNG of " + std::to_string(header.bit_depth) + "-bit " +
                     PngColorTypeName(header.color_type) + "; a depth image must be 16-bit greyscale");
  }
  CheckSize(path, header.width, header.height);
  if (!PngPrepareDepth(reader.ctx(), IsLittleEndianHost())) ThrowPngError(path, reader.ctx());

  DepthImage image(static_cast<int>(header.width), static_cast<int>(header.height));
  auto* data = reinterpret_cast<std::uint8_t*>(image.pixels.data());
  auto rows = RowPointers(data, static_cast<std::size_t>(image.width) * 2, image.height);
  if (!PngReadRows(reader.ctx(), rows.data())) ThrowPngError(path, reader.ctx());
  return image;
}

ColorImage ReadColorPng(const std::string& path, std::FILE* f) {
  PngReader reader;
  PngReadHeader header;
  if (!PngReadInfo(reader.ctx(), f, &header)) ThrowPngError(path, reader.ctx());
  CheckSize(path, header.width, header.height);
  int channels = 0;
  if (!PngPrepareColor(reader.ctx(), &channels)) ThrowPngError(path, reader.ctx());
  if (channels != 3 && channels != 4) {
    throw ImageError("'" + path + "' has an unsupported PNG pixel layout");
  }

  const int w = static_cast<int>(header.width);
  const int h = static_cast<int>(header.height);
  const std::size_t row_bytes = static_cast<std::size_t>(w) * static_cast<std::size_t>(channels);
  std::vector<std::uint8_t> decoded(row_bytes * static_cast<std::size_t>(h));
  auto rows = RowPointers(decoded.data(), row_bytes, h);
  if (!PngReadRows(reader.ctx(), rows.data())) ThrowPngError(path, reader.ctx());

  ColorImage image(w, h);
  const std::size_t pixels = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
  for (std::size_t i = 0; i < pixels; ++i) {
    std::memcpy(&image.rgb[i * 3], &decoded[i * static_cast<std::size_t>(channels)], 3);
  }
  return image;
}

class PngWriter {
 public:
  PngWriter() {
    ctx_.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &ctx_, OnPngError, OnPngWarning);
    if (ctx_.png) ctx_.info = png_create_info_struct(ctx_.png);
    if (!ctx_.png || !ctx_.info) throw std::bad_alloc();
  }
  ~PngWriter() { png_destroy_write_struct(&ctx_.png, &ctx_.info); }
  PngWriter(const PngWriter&) = delete;
  PngWriter& operator=(const PngWriter&) = delete;

  PngContext& ctx() { return ctx_; }

 private:
  PngContext ctx_;
};

struct PngWriteJob {
  std::FILE* file;
  png_uint_32 width;
  png_uint_32 height;
  int bit_depth;
  int color_type;
  bool swap_bytes;
  png_bytepp rows;
};

bool PngWrite(PngContext& ctx, const PngWriteJob& job) {
  if (setjmp(png_jmpbuf(ctx.png))) return false;
  png_init_io(ctx.png, job.file);
  png_set_IHDR(ctx.png, ctx.info, job.width, job.height, job.bit_depth, job.color_type,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(ctx.png, ctx.info);
  if (job.swap_bytes) png_set_swap(ctx.png);
  png_write_image(ctx.png, job.rows);
  png_write_end(ctx.png, nullptr);
  return true;
}

void WritePng(const std::string& path, int width, int height, int bit_depth, int color_type,
              const std::uint8_t* data, std::size_t row_bytes) {
  CheckSize(path, width, height);
  // libpng takes non-const row pointers also when writing; it does not
  // change the rows.
  auto rows = RowPointers(const_cast<std::uint8_t*>(data), row_bytes, height);
  File f = OpenForWriting(path);
  try {
    PngWriter writer;
    const PngWriteJob job{f.get(), static_cast<png_uint_32>(width),
                          static_cast<png_uint_32>(height), bit_depth, color_type,
                          bit_depth == 16 && IsLittleEndianHost(), rows.data()};
    if (!PngWrite(writer.ctx(), job)) {
      throw ImageError("cannot write PNG '" + path + "': " + writer.ctx().message);
    }
    CloseWritten(std::move(f), path);
  } catch (...) {
    // A half-written image is worse than none: a later step would take it
    // for a result.
    f.reset();
    RemovePartialFile(path);
    throw;
  }
}

// ---- libjpeg -----------------------------------------------------------

struct JpegContext {
  jpeg_decompress_struct info{};
  jpeg_error_mgr errors{};
  std::jmp_buf jump{};
  char message[JMSG_LENGTH_MAX] = {};
};

extern "C" void OnJpegError(j_common_ptr cinfo) {
  auto* ctx = reinterpret_cast<JpegContext*>(cinfo->client_data);
  (*cinfo->err->format_message)(cinfo, ctx->message);
  std::longjmp(ctx->jump, 1);
}

extern "C" void OnJpegMessage(j_common_ptr) {}

bool JpegStart(JpegContext& ctx, std::FILE* f) {
  if (setjmp(ctx.jump)) return false;
  jpeg_stdio_src(&ctx.info, f);
  jpeg_read_header(&ctx.info, TRUE);
  ctx.info.out_color_space = JCS_RGB;
  jpeg_start_decompress(&ctx.info);
  return true;
}

bool JpegReadRows(JpegContext& ctx, std::uint8_t* data, std::size_t row_bytes) {
  if (setjmp(ctx.jump)) return false;
  while (ctx.info.output_scanline < ctx.info.output_height) {
    JSAMPROW row = data + static_cast<std::size_t>(ctx.info.output_scanline) * row_bytes;
    jpeg_read_scanlines(&ctx.info, &row, 1);
  }
  jpeg_finish_decompress(&ctx.info);
  return true;
}

[[noreturn]] void ThrowJpegError(const std::string& path, const JpegContext& ctx) {
  throw ImageError("cannot read JPEG '" + path + "': " + ctx.message);
}

class JpegReader {
 public:
  JpegReader() : ctx_(std::make_unique<JpegContext>()) {
    ctx_->info.err = jpeg_std_error(&ctx_->errors);
    ctx_->errors.error_exit = OnJpegError;
    ctx_->errors.output_message = OnJpegMessage;
    ctx_->info.client_data = ctx_.get();
    jpeg_create_decompress(&ctx_->info);
  }
  ~JpegReader() { jpeg_destroy_decompress(&ctx_->info); }
  JpegReader(const JpegReader&) = delete;
  JpegReader& operator=(const JpegReader&) = delete;

  JpegContext& ctx() { return *ctx_; }

 private:
  std::unique_ptr<JpegContext> ctx_;
};

ColorImage ReadColorJpeg(const std::string& path, std::FILE* f) {
  JpegReader reader;
  JpegContext& ctx = reader.ctx();
  if (!JpegStart(ctx, f)) ThrowJpegError(path, ctx);
  CheckSize(path, ctx.info.output_width, ctx.info.output_height);
  if (ctx.info.output_components != 3) {
    throw ImageError("'" + path + "' cannot be decoded to RGB");
  }
  ColorImage image(static_cast<int>(ctx.info.output_width),
                   static_cast<int>(ctx.info.output_height));
  if (!JpegReadRows(ctx, image.rgb.data(), static_cast<std::size_t>(image.width) * 3)) {
    ThrowJpegError(path, ctx);
  }
  return image;
}

DepthImage ReadDepthRaw(const std::string& path, std::FILE* f, ImageSize size) {
  DepthImage image(size.width, size.height);
  const std::size_t count = image.pixels.size();
  std::vector<unsigned char> bytes(count * 2 + 1);
  const std::size_t n = std::fread(bytes.data(), 1, bytes.size(), f);
  if (n != count * 2) {
    throw ImageError("'" + path + "' holds " + std::to_string(n) + " bytes; a raw " +
                     std::to_string(size.width) + "x" + std::to_string(size.height) +
                     " depth image has " + std::to_string(count * 2));
  }
  for (std::size_t i = 0; i < count; ++i) {
    image.pixels[i] = static_cast<std::uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  }
  return image;
}

}  // namespace

DepthImage ReadDepthImage(const std::string& path, const std::optional<ImageSize>& raw_size) {
  File f = OpenForReading(path);
  switch (SniffKind(f.get())) {
    case FileKind::kPng:
      return ReadDepthPng(path, f.get());
    case FileKind::kJpeg:
      throw ImageError("'" + path + "' is a JPEG; a depth image must be a 16-bit PNG or raw");
    case FileKind::kOther:
      break;
  }
  if (!raw_size) {
    throw ImageError("'" + path + "' is not a PNG file (for raw 16-bit depth give its size)");
  }
  return ReadDepthRaw(path, f.get(), *raw_size);
}

ColorImage ReadColorImage(const std::string& path) {
  File f = OpenForReading(path);
  switch (SniffKind(f.get())) {
    case FileKind::kPng:
      return ReadColorPng(path, f.get());
    case FileKind::kJpeg:
      return ReadColorJpeg(path, f.get());
    case FileKind::kOther:
      break;
  }
  throw ImageError("'" + path + "' is neither a PNG nor a JPEG file");
}

void WriteDepthPng(const std::string& path, const DepthImage& image) {
  WritePng(path, image.width, image.height, 16, PNG_COLOR_TYPE_GRAY,
           reinterpret_cast<const std::uint8_t*>(image.pixels.data()),
           static_cast<std::size_t>(image.width) * 2);
}

void WriteColorPng(const std::string& path, const ColorImage& image) {
  WritePng(path, image.width, image.height, 8, PNG_COLOR_TYPE_RGB, image.rgb.data(),
           static_cast<std::size_t>(image.width) * 3);
}

}  // namespace quilm_tools
