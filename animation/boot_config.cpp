#include "animation/boot_config.h"

#include <cctype>
#include <climits>
#include <cstdint>
#include <cstring>

int mImageCount = 0;
char mBootAnimPath[128] = {};
int mFps = 15;

namespace
{

constexpr int k_default_image_count = 4;
constexpr const char *k_default_dir = "/media/bootanimation";

bool is_blank(char c)
{
	return std::isspace(static_cast<unsigned char>(c)) != 0;
}

bool is_digit(char c)
{
	return c >= '0' && c <= '9';
}

// Matches `line` against `key` followed by a %d conversion with sscanf's rules (blanks skipped,
// optional sign, at least one digit, the rest ignored), except that a number beyond the range
// of int is stored as INT_MIN or INT_MAX instead of being undefined.
void match_int(const char *line, const char *key, int *target)
{
	const size_t key_len = strlen(key);
	if (strncmp(line, key, key_len) != 0)
		return;
	const char *p = line + key_len;
	while (is_blank(*p))
		p++;
	const bool negative = *p == '-';
	if (*p == '-' || *p == '+')
		p++;
	if (!is_digit(*p))
		return;
	const int64_t limit = negative ? -int64_t{INT_MIN} : int64_t{INT_MAX};
	int64_t value = 0;
	for (; is_digit(*p); p++) {
		if (value < limit)
			value = value * 10 + (*p - '0');
	}
	if (value > limit)
		value = limit;
	*target = static_cast<int>(negative ? -value : value);
}

// Matches `line` against `key` followed by a %s conversion: blanks skipped, then the run of
// non-blank characters, which must not be empty. The run is shorter than the line, so a target
// at least as large as the line buffer always holds it.
void match_string(const char *line, const char *key, char *target, size_t target_size)
{
	const size_t key_len = strlen(key);
	if (strncmp(line, key, key_len) != 0)
		return;
	const char *p = line + key_len;
	while (is_blank(*p))
		p++;
	size_t len = 0;
	while (p[len] != '\0' && !is_blank(p[len]))
		len++;
	if (len == 0 || len >= target_size)
		return;
	memcpy(target, p, len);
	target[len] = '\0';
}

} // namespace

boot_config_lines read_boot_config_lines(FILE *file)
{
	// The lines are positional: a line cut at its buffer's size leaves its rest to be read as
	// the next line.
	boot_config_lines l{};
	l.present[0] = fgets(l.cnt, sizeof l.cnt, file) != nullptr;
	l.present[1] = fgets(l.path, sizeof l.path, file) != nullptr;
	l.present[2] = fgets(l.fps, sizeof l.fps, file) != nullptr;
	return l;
}

void read_boot_config(FILE *file)
{
	mImageCount = 0;
	if (!file) {
		mImageCount = k_default_image_count;
		snprintf(mBootAnimPath, sizeof mBootAnimPath, "%s", k_default_dir);
		return;
	}

	const boot_config_lines l = read_boot_config_lines(file);
	if (l.present[0])
		match_int(l.cnt, "cnt=", &mImageCount);
	if (l.present[1])
		match_string(l.path, "path=", mBootAnimPath, sizeof mBootAnimPath);
	if (l.present[2])
		match_int(l.fps, "fps=", &mFps);

	printf("cfg:  mImageCount=%d mBootAnimPath=%s mFps %d\n", mImageCount, mBootAnimPath, mFps);
	fclose(file);

	if (mImageCount <= 0)
		mImageCount = k_default_image_count;
}
