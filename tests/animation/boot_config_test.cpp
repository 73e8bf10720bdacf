#include "animation/boot_config.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/capture.h"
#include "tests/support/jpeg_file.h"

namespace
{

namespace fs = std::filesystem;

struct config {
	int count;
	std::string dir;
	int fps;
};

void expect_config(const config &actual, const config &expected)
{
	EXPECT_EQ(actual.count, expected.count);
	EXPECT_EQ(actual.dir, expected.dir);
	EXPECT_EQ(actual.fps, expected.fps);
}

class boot_config : public testing::Test
{
protected:
	void SetUp() override
	{
		dir_ = make_temp_dir();
		ASSERT_FALSE(dir_.empty());
		// The values as the process starts.
		mImageCount = 0;
		memset(mBootAnimPath, 0, sizeof mBootAnimPath);
		mFps = 15;
	}
	void TearDown() override
	{
		remove_tree(dir_);
	}

	// Reads `content` as boot.conf and returns what was printed on standard output.
	std::string read(const std::string &content)
	{
		const fs::path path = dir_ / "boot.conf";
		std::ofstream(path, std::ios::binary).write(content.data(), content.size());
		FILE *file = fopen(path.c_str(), "rb");
		EXPECT_NE(file, nullptr);
		if (!file)
			return {};
		const int fd = fileno(file);
		output_capture cap;
		read_boot_config(file);
		// Checked before anything else can reuse the descriptor.
		const bool closed = fcntl(fd, F_GETFD) == -1 && errno == EBADF;
		const std::string out = cap.stop();
		EXPECT_TRUE(closed) << "boot.conf left open";
		return out;
	}

	static config values()
	{
		return {mImageCount, mBootAnimPath, mFps};
	}

	// A file, the count its "cfg:" line prints, and the values it leaves: the line prints the
	// same directory and rate, and the count before its correction.
	struct file_case {
		const char *what;
		std::string content;
		int printed_count;
		std::string dir;
		int fps, count;
	};

	// Each case from the values as the process starts.
	void check(const std::vector<file_case> &cases)
	{
		for (const file_case &c : cases) {
			SCOPED_TRACE(c.what);
			mImageCount = 0;
			memset(mBootAnimPath, 0, sizeof mBootAnimPath);
			mFps = 15;
			EXPECT_EQ(read(c.content),
			          "cfg:  mImageCount=" + std::to_string(c.printed_count) +
			                  " mBootAnimPath=" + c.dir + " mFps " +
			                  std::to_string(c.fps) + "\n");
			expect_config(values(), {c.count, c.dir, c.fps});
		}
	}

	fs::path dir_;
};

std::string repeat(char c, size_t n)
{
	return std::string(n, c);
}

TEST_F(boot_config, missing_file_gives_the_defaults_silently)
{
	mImageCount = 9;
	output_capture cap;
	read_boot_config(nullptr);
	EXPECT_EQ(cap.stop(), "");
	expect_config(values(), {4, "/media/bootanimation", 15});

	// The rate is not part of the defaults: it keeps whatever it was.
	mFps = 30;
	read_boot_config(nullptr);
	expect_config(values(), {4, "/media/bootanimation", 30});
}

TEST_F(boot_config, well_formed_files)
{
	check({
	        {"three lines", "cnt=30\npath=/mnt/bootanimation/frames\nfps=25\n", 30,
	         "/mnt/bootanimation/frames", 25, 30},
	        {"no line end after the last line", "cnt=5\npath=/a\nfps=20", 5, "/a", 20, 5},
	        {"carriage return and newline", "cnt=5\r\npath=/data/anim\r\nfps=20\r\n", 5,
	         "/data/anim", 20, 5},
	        {"a fourth line and more", "cnt=5\npath=/a\nfps=20\ncnt=9\npath=/b\nfps=1\n", 5,
	         "/a", 20, 5},
	        {"blanks after the equals signs", "cnt= \t12\npath=  \t/data/anim\nfps=  24\n", 12,
	         "/data/anim", 24, 12},
	        {"text after the numbers", "cnt=12 frames\npath=/a\nfps=2.5\n", 12, "/a", 2, 12},
	        {"signs", "cnt=+7\npath=/a\nfps=-3\n", 7, "/a", -3, 7},
	        {"rate 0 is stored", "cnt=7\npath=/a\nfps=0\n", 7, "/a", 0, 7},
	        {"leading zeros", "cnt=00000000000000000000042\npath=/a\nfps=010\n", 42, "/a", 10,
	         42},
	        {"a blank inside the directory", "cnt=5\npath=/data/boot anim\nfps=20\n", 5,
	         "/data/boot", 20, 5},
	        {"a zero byte ends the line's text",
	         std::string("cnt=1") + '\0' + "2\npath=/a\nfps=9\n", 1, "/a", 9, 1},
	});
}

TEST_F(boot_config, missing_or_bad_count_becomes_4_after_the_line)
{
	mImageCount = 9; // set to 0 before the file is read
	EXPECT_EQ(read(""), "cfg:  mImageCount=0 mBootAnimPath= mFps 15\n");
	expect_config(values(), {4, "", 15});

	check({
	        {"count 0", "cnt=0\npath=/a\nfps=10\n", 0, "/a", 10, 4},
	        {"count -2", "cnt=-2\npath=/a\nfps=10\n", -2, "/a", 10, 4},
	        {"only the first line", "cnt=5\n", 5, "", 15, 5},
	        {"sign without digits", "cnt=-\npath=/a\nfps=+\n", 0, "/a", 15, 4},
	        {"no number", "cnt=abc\npath=/a\nfps=\n", 0, "/a", 15, 4},
	        {"hexadecimal is not read", "cnt=0x10\npath=/a\nfps=0x1e\n", 0, "/a", 0, 4},
	        {"no directory", "cnt=3\npath=\nfps=10\n", 3, "", 10, 3},
	        {"only blanks for a directory", "cnt=3\npath= \t \r\nfps=10\n", 3, "", 10, 3},
	});
}

TEST_F(boot_config, keys_are_positional_and_exact)
{
	check({
	        {"order fps, cnt, path", "fps=30\ncnt=12\npath=/data/anim\n", 0, "", 15, 4},
	        {"capitals", "Cnt=5\nPATH=/a\nFps=20\n", 0, "", 15, 4},
	        {"a blank before the key", " cnt=5\n path=/a\n fps=20\n", 0, "", 15, 4},
	        {"a blank before the equals sign", "cnt =5\npath =/a\nfps =20\n", 0, "", 15, 4},
	        {"an empty first line shifts the rest", "\ncnt=5\npath=/a\nfps=20\n", 0, "", 15, 4},
	});
}

TEST_F(boot_config, long_lines_are_cut_and_shift_the_rest)
{
	// A 40-character first line: 31 characters fill the count's buffer, the last 9 and the
	// newline are read as the second line, the real second line as the third.
	check({
	        {"40 characters, the rest matches nothing",
	         "cnt=7" + repeat(' ', 35) + "\npath=/a\nfps=20\n", 7, "", 15, 7},
	        {"40 characters, the rest happens to match",
	         "cnt=3" + repeat(' ', 26) + "path=/sh1\npath=/data/anim\nfps=20\n", 3, "/sh1", 15,
	         3},
	        {"30 characters and the newline still fit",
	         "cnt=3" + repeat(' ', 25) + "\npath=/a\nfps=20\n", 3, "/a", 20, 3},
	        // The carriage return takes the place of the newline, which becomes line 2.
	        {"30 characters, carriage return and newline",
	         "cnt=3" + repeat(' ', 25) + "\r\npath=/a\r\nfps=20\r\n", 3, "", 15, 3},
	});

	// The directory line holds at most 127 characters: 122 of them after "path=".
	const std::string longest = repeat('d', 121);
	check({
	        {"126 characters and the newline", "cnt=1\npath=" + longest + "\nfps=30\n", 1,
	         longest, 30, 1},
	        {"a longer directory is cut at 122",
	         "cnt=1\npath=" + repeat('e', 130) + "\nfps=30\n", 1, repeat('e', 122), 15, 1},
	});
}

TEST_F(boot_config, numbers_beyond_int_saturate)
{
	check({
	        {"huge count", "cnt=99999999999\npath=/a\nfps=20\n", INT_MAX, "/a", 20, INT_MAX},
	        {"huge negative count is corrected", "cnt=-99999999999\npath=/a\nfps=20\n", INT_MIN,
	         "/a", 20, 4},
	        {"huge rate", "cnt=5\npath=/a\nfps=99999999999999999999\n", 5, "/a", INT_MAX, 5},
	        {"huge negative rate", "cnt=5\npath=/a\nfps=-99999999999999999999\n", 5, "/a",
	         INT_MIN, 5},
	        {"the largest count", "cnt=2147483647\npath=/a\nfps=20\n", INT_MAX, "/a", 20,
	         INT_MAX},
	        {"one beyond the largest", "cnt=2147483648\npath=/a\nfps=-2147483649\n", INT_MAX,
	         "/a", INT_MIN, INT_MAX},
	        {"the smallest count", "cnt=-2147483648\npath=/a\nfps=-2147483648\n", INT_MIN, "/a",
	         INT_MIN, 4},
	        {"40 digits: cut, and the rest read as the second line",
	         "cnt=" + repeat('9', 36) + "\npath=/a\nfps=20\n", INT_MAX, "", 15, INT_MAX},
	});
}

} // namespace
