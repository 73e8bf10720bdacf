#include "tests/support/jpeg_file.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include <jpeglib.h>

rgb_picture test_picture(int width, int height, int variant, int components)
{
	rgb_picture p;
	p.width = width;
	p.height = height;
	p.components = components;
	p.data.resize(size_t(width) * height * components);
	for (int y = 0; y < height; y++)
		for (int x = 0; x < width; x++)
			for (int c = 0; c < components; c++) {
				int v = (x * (c + 1) * 255 / (width > 1 ? width - 1 : 1) +
				         y * (3 - c) * 255 / (height > 1 ? height - 1 : 1) +
				         variant * 53 * (c + 1)) %
				        256;
				p.data[(size_t(y) * width + x) * components + c] = uint8_t(v);
			}
	return p;
}

std::vector<uint8_t> encode_jpeg(const rgb_picture &p, const jpeg_options &o)
{
	jpeg_compress_struct cinfo;
	jpeg_error_mgr jerr;
	cinfo.err = jpeg_std_error(&jerr);
	jpeg_create_compress(&cinfo);
	unsigned char *out = nullptr;
	unsigned long out_size = 0;
	jpeg_mem_dest(&cinfo, &out, &out_size);
	cinfo.image_width = JDIMENSION(p.width);
	cinfo.image_height = JDIMENSION(p.height);
	cinfo.input_components = p.components;
	cinfo.in_color_space = p.components == 1   ? JCS_GRAYSCALE
	                       : p.components == 4 ? JCS_CMYK
	                                           : JCS_RGB;
	jpeg_set_defaults(&cinfo);
	jpeg_set_quality(&cinfo, o.quality, TRUE);
	if (o.full_chroma) {
		cinfo.comp_info[0].h_samp_factor = 1;
		cinfo.comp_info[0].v_samp_factor = 1;
	}
	if (o.progressive)
		jpeg_simple_progression(&cinfo);
	cinfo.restart_interval = o.restart_interval;
	jpeg_start_compress(&cinfo, TRUE);
	while (cinfo.next_scanline < cinfo.image_height) {
		JSAMPROW row = const_cast<JSAMPROW>(
		        &p.data[size_t(cinfo.next_scanline) * p.width * p.components]);
		jpeg_write_scanlines(&cinfo, &row, 1);
	}
	jpeg_finish_compress(&cinfo);
	jpeg_destroy_compress(&cinfo);
	std::vector<uint8_t> result(out, out + out_size);
	free(out);
	return result;
}

bool write_file(const std::string &path, const std::vector<uint8_t> &data)
{
	FILE *f = fopen(path.c_str(), "wb");
	if (!f)
		return false;
	// An empty file is written too; fwrite must not be handed its null data.
	bool ok = data.empty() || fwrite(data.data(), 1, data.size(), f) == data.size();
	return fclose(f) == 0 && ok;
}

bool write_jpeg(const std::string &path, const rgb_picture &p, const jpeg_options &o)
{
	std::vector<uint8_t> jpeg = encode_jpeg(p, o);
	return !jpeg.empty() && write_file(path, jpeg);
}

bool write_jpeg(const std::string &path, const rgb_picture &p, int quality, bool progressive)
{
	return write_jpeg(path, p, jpeg_options{.quality = quality, .progressive = progressive});
}

namespace
{
// Opens `path`, reads its header with libjpeg and hands the decompressor to `use`; false when the
// file cannot be opened.
template <typename Use>
bool with_header(const std::string &path, Use use)
{
	FILE *f = fopen(path.c_str(), "rb");
	if (!f)
		return false;
	jpeg_decompress_struct cinfo;
	jpeg_error_mgr jerr;
	cinfo.err = jpeg_std_error(&jerr);
	jpeg_create_decompress(&cinfo);
	jpeg_stdio_src(&cinfo, f);
	jpeg_read_header(&cinfo, TRUE);
	use(cinfo, f);
	jpeg_destroy_decompress(&cinfo);
	fclose(f);
	return true;
}
} // namespace

rgb_picture decode_jpeg(const std::string &path)
{
	rgb_picture p;
	with_header(path, [&](jpeg_decompress_struct &cinfo, FILE *) {
		jpeg_start_decompress(&cinfo);
		p.width = int(cinfo.output_width);
		p.height = int(cinfo.output_height);
		p.components = cinfo.output_components;
		p.data.resize(size_t(p.width) * p.height * p.components);
		while (cinfo.output_scanline < cinfo.output_height) {
			JSAMPROW row =
			        &p.data[size_t(cinfo.output_scanline) * p.width * p.components];
			jpeg_read_scanlines(&cinfo, &row, 1);
		}
		jpeg_finish_decompress(&cinfo);
	});
	return p;
}

jpeg_header read_jpeg_header(const std::string &path)
{
	jpeg_header h;
	with_header(path, [&](jpeg_decompress_struct &cinfo, FILE *f) {
		h.width = int(cinfo.image_width);
		h.height = int(cinfo.image_height);
		for (int c = 0; c < cinfo.num_components; c++)
			h.sampling += (c ? " " : "") +
			              std::to_string(cinfo.comp_info[c].h_samp_factor) + "x" +
			              std::to_string(cinfo.comp_info[c].v_samp_factor);
		std::string bytes;
		rewind(f);
		for (int c; (c = fgetc(f)) != EOF;)
			bytes += char(c);
		h.baseline = bytes.find("\xff\xc0") != std::string::npos &&
		             bytes.find("\xff\xc2") == std::string::npos && !cinfo.progressive_mode;
	});
	return h;
}

std::string make_temp_dir()
{
	char templ[] = "/tmp/bootanim-test-XXXXXX";
	const char *dir = mkdtemp(templ);
	return dir ? dir : "";
}

void remove_tree(const std::string &dir)
{
	std::error_code ec;
	std::filesystem::remove_all(dir, ec);
}
