// Counted-string routines behave as the Windows kernel's do.
#include <array>
#include <cstring>

#include "kernel/pool.h"
#include "platform_test_support.h"

namespace zt {
namespace {

using emu::EqualsNoCase;
using emu::FromUtf8;
using emu::ToU16;
using emu::ToUtf8;
using emu::Upcase;
using emu::View;
using emu::WideLength;

using RtlStrings = PlatformTest;

// A destination buffer with a sentinel everywhere, to see exactly which
// characters a routine wrote.
struct Scratch {
  static constexpr WCHAR kSentinel = u'~';
  std::array<WCHAR, 32> chars;
  UNICODE_STRING string;

  explicit Scratch(USHORT maximumBytes, const char16_t* initial = u"") {
    chars.fill(kSentinel);
    const size_t n = std::char_traits<char16_t>::length(initial);
    std::memcpy(chars.data(), initial, n * sizeof(WCHAR));
    string = {static_cast<USHORT>(n * sizeof(WCHAR)), maximumBytes, chars.data()};
  }
  std::u16string Text() const { return ToU16(string); }
};

TEST_F(RtlStrings, InitCountsCharactersWithoutTheTerminator) {
  static const WCHAR kPort[] = L"COM12";
  UNICODE_STRING s{99, 99, nullptr};
  RtlInitUnicodeString(&s, kPort);
  EXPECT_EQ(s.Length, 10);
  EXPECT_EQ(s.MaximumLength, 12);
  EXPECT_EQ(s.Buffer, kPort);

  RtlInitUnicodeString(&s, L"");
  EXPECT_EQ(s.Length, 0);
  EXPECT_EQ(s.MaximumLength, 2);
}

TEST_F(RtlStrings, InitFromNullGivesAnEmptyStringWithoutBuffer) {
  UNICODE_STRING s{8, 10, reinterpret_cast<PWSTR>(&s)};
  RtlInitUnicodeString(&s, nullptr);
  EXPECT_EQ(s.Length, 0);
  EXPECT_EQ(s.MaximumLength, 0);
  EXPECT_EQ(s.Buffer, nullptr);
}

TEST_F(RtlStrings, CopyTerminatesOnlyWhenAWholeCharacterFitsBehindTheText) {
  const UNICODE_STRING source = Counted(u"COM12");

  Scratch roomy(20);
  RtlCopyUnicodeString(&roomy.string, &source);
  EXPECT_EQ(roomy.Text(), u"COM12");
  EXPECT_EQ(roomy.chars[5], 0);
  EXPECT_EQ(roomy.string.MaximumLength, 20);
  EXPECT_EQ(roomy.string.Buffer, roomy.chars.data());

  Scratch exact(10);
  RtlCopyUnicodeString(&exact.string, &source);
  EXPECT_EQ(exact.Text(), u"COM12");
  EXPECT_EQ(exact.chars[5], Scratch::kSentinel);
}

TEST_F(RtlStrings, CopyTruncatesToTheDestinationMaximumLength) {
  const UNICODE_STRING source = Counted(u"COM12");
  Scratch small(6, u"xy");
  RtlCopyUnicodeString(&small.string, &source);
  EXPECT_EQ(small.string.Length, 6);
  EXPECT_EQ(small.Text(), u"COM");
  EXPECT_EQ(small.chars[3], Scratch::kSentinel);
}

TEST_F(RtlStrings, CopyFromNullOnlyEmptiesTheDestination) {
  Scratch dest(20, u"old");
  RtlCopyUnicodeString(&dest.string, nullptr);
  EXPECT_EQ(dest.string.Length, 0);
  EXPECT_EQ(dest.string.MaximumLength, 20);
  EXPECT_EQ(dest.chars[0], u'o');
}

TEST_F(RtlStrings, AppendConcatenatesAndTerminatesWhenThereIsRoom) {
  Scratch dest(40, u"\\DosDevices\\");
  EXPECT_EQ(RtlAppendUnicodeToString(&dest.string, L"COM12"), STATUS_SUCCESS);
  EXPECT_EQ(dest.Text(), u"\\DosDevices\\COM12");
  EXPECT_EQ(dest.chars[17], 0);

  const UNICODE_STRING more = Counted(u"x");
  Scratch exact(8, u"COM");
  EXPECT_EQ(RtlAppendUnicodeStringToString(&exact.string, &more), STATUS_SUCCESS);
  EXPECT_EQ(exact.Text(), u"COMx");
  EXPECT_EQ(exact.chars[4], Scratch::kSentinel);
}

TEST_F(RtlStrings, AppendThatDoesNotFitChangesNothing) {
  Scratch dest(10, u"COM");
  EXPECT_EQ(RtlAppendUnicodeToString(&dest.string, L"123"), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(dest.Text(), u"COM");
  EXPECT_EQ(dest.chars[3], Scratch::kSentinel);

  const UNICODE_STRING tail = Counted(u"123");
  EXPECT_EQ(RtlAppendUnicodeStringToString(&dest.string, &tail), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(dest.Text(), u"COM");
  EXPECT_EQ(dest.chars[3], Scratch::kSentinel);
}

TEST_F(RtlStrings, AppendingNothingSucceedsWithoutWriting) {
  Scratch dest(10, u"COM");
  EXPECT_EQ(RtlAppendUnicodeToString(&dest.string, nullptr), STATUS_SUCCESS);
  const UNICODE_STRING empty{0, 0, nullptr};
  EXPECT_EQ(RtlAppendUnicodeStringToString(&dest.string, &empty), STATUS_SUCCESS);
  EXPECT_EQ(dest.Text(), u"COM");
  EXPECT_EQ(dest.chars[3], Scratch::kSentinel);
}

constexpr ULONG kStringTag = 0x74736554;

// A buffer as the Rtl and I/O routines allocate one for their caller.
PWSTR RtlAllocatedBuffer(size_t bytes) {
  return static_cast<PWSTR>(
      emu::Pool::Allocate(PagedPool, bytes, kStringTag, "a string routine", emu::PoolFamily::RtlString));
}

TEST_F(RtlStrings, FreeReleasesThePoolBufferAndEmptiesTheString) {
  UNICODE_STRING s;
  s.Buffer = RtlAllocatedBuffer(12);
  ASSERT_NE(s.Buffer, nullptr);
  s.Length = 10;
  s.MaximumLength = 12;
  RtlFreeUnicodeString(&s);
  EXPECT_EQ(s.Buffer, nullptr);
  EXPECT_EQ(s.Length, 0);
  EXPECT_EQ(s.MaximumLength, 0);
  EXPECT_EQ(emu::Pool::LiveBlocks(kStringTag), 0u);

  // Freeing an already empty string is harmless.
  RtlFreeUnicodeString(&s);
  EXPECT_EQ(s.Buffer, nullptr);
}

// RtlFreeUnicodeString is for buffers the Rtl routines allocated, ExFreePool
// for a driver's own: Windows takes either for the other, kernels that keep
// the two apart do not.
TEST_F(RtlStrings, AStringFreedByTheOtherFamilyOfRoutinesIsReportedAndStillFreed) {
  UNICODE_STRING own{0, 12, static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, 12, kStringTag))};
  ASSERT_NE(own.Buffer, nullptr);
  RtlFreeUnicodeString(&own);
  ExpectViolations({"pool-freed-by-wrong-routine"});
  EXPECT_EQ(own.Buffer, nullptr);

  PWSTR rtl = RtlAllocatedBuffer(12);
  ASSERT_NE(rtl, nullptr);
  ExFreePoolWithTag(rtl, kStringTag);
  ExpectViolations({"pool-freed-by-wrong-routine"});
  EXPECT_EQ(emu::Pool::LiveBlocks(kStringTag), 0u);
}

TEST_F(RtlStrings, CompareOrdersByCharactersThenByLength) {
  const UNICODE_STRING com1 = Counted(u"COM1");
  const UNICODE_STRING com12 = Counted(u"COM12");
  const UNICODE_STRING com2 = Counted(u"COM2");
  const UNICODE_STRING lower = Counted(u"com12");

  EXPECT_LT(RtlCompareUnicodeString(&com1, &com12, FALSE), 0);
  EXPECT_GT(RtlCompareUnicodeString(&com12, &com1, FALSE), 0);
  EXPECT_LT(RtlCompareUnicodeString(&com12, &com2, FALSE), 0);
  EXPECT_EQ(RtlCompareUnicodeString(&com12, &lower, TRUE), 0);
  EXPECT_LT(RtlCompareUnicodeString(&com12, &lower, FALSE), 0);
}

TEST_F(RtlStrings, EqualityCanIgnoreCaseButNeverLength) {
  const UNICODE_STRING upper = Counted(u"\\DosDevices\\COM12");
  const UNICODE_STRING lower = Counted(u"\\dosdevices\\com12");
  const UNICODE_STRING prefix = Counted(u"\\DosDevices\\COM1");

  EXPECT_TRUE(RtlEqualUnicodeString(&upper, &lower, TRUE));
  EXPECT_FALSE(RtlEqualUnicodeString(&upper, &lower, FALSE));
  EXPECT_TRUE(RtlEqualUnicodeString(&upper, &upper, FALSE));
  EXPECT_FALSE(RtlEqualUnicodeString(&upper, &prefix, TRUE));
}

TEST_F(RtlStrings, IntegerConversionInEveryDocumentedBase) {
  struct Case {
    ULONG value;
    ULONG base;
    const char16_t* text;
  };
  for (const Case& c : {Case{12, 10, u"12"}, Case{12, 0, u"12"}, Case{0, 10, u"0"}, Case{255, 16, u"FF"},
                        Case{8, 8, u"10"}, Case{5, 2, u"101"}, Case{4294967295u, 10, u"4294967295"}}) {
    Scratch out(40);
    EXPECT_EQ(RtlIntegerToUnicodeString(c.value, c.base, &out.string), STATUS_SUCCESS) << U8(c.text);
    EXPECT_EQ(U8(out.Text()), U8(c.text));
    EXPECT_EQ(out.chars[out.string.Length / 2], 0) << "result is NUL-terminated";
  }
}

TEST_F(RtlStrings, IntegerConversionRejectsOtherBasesAndBuffersWithoutRoomForTheTerminator) {
  Scratch out(40);
  EXPECT_EQ(RtlIntegerToUnicodeString(12, 7, &out.string), STATUS_INVALID_PARAMETER);

  Scratch tight(4);
  EXPECT_EQ(RtlIntegerToUnicodeString(12, 10, &tight.string), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(tight.string.Length, 0);
  EXPECT_EQ(tight.chars[0], Scratch::kSentinel);

  Scratch enough(6);
  EXPECT_EQ(RtlIntegerToUnicodeString(12, 10, &enough.string), STATUS_SUCCESS);
  EXPECT_EQ(enough.Text(), u"12");
}

// Text back to a number, as the documented examples have it: digits up
// to the first that is not one in the base, 0 for text with no number, and
// a failure only for an empty string or an unknown base.
TEST_F(RtlStrings, TextToIntegerTakesTheLeadingNumber) {
  struct Case {
    const char16_t* text;
    ULONG base;
    NTSTATUS status;
    ULONG value;
  };
  for (const Case& c : {Case{u"123", 10, STATUS_SUCCESS, 123}, Case{u"-345", 10, STATUS_SUCCESS, 0u - 345},
                        Case{u"xyz", 10, STATUS_SUCCESS, 0}, Case{u"+678abc", 10, STATUS_SUCCESS, 678},
                        Case{u"+678abc", 16, STATUS_SUCCESS, 0x678ABC}, Case{u"  12", 10, STATUS_SUCCESS, 12},
                        Case{u"0x1F", 0, STATUS_SUCCESS, 0x1F}, Case{u"0b101", 0, STATUS_SUCCESS, 5},
                        Case{u"0o17", 0, STATUS_SUCCESS, 15}, Case{u"019", 8, STATUS_SUCCESS, 1},
                        Case{u"4294967295", 10, STATUS_SUCCESS, 4294967295u}, Case{u"", 10, STATUS_INVALID_PARAMETER, 77},
                        Case{u"12", 7, STATUS_INVALID_PARAMETER, 77}}) {
    const UNICODE_STRING text = Counted(c.text);
    ULONG value = 77;
    EXPECT_EQ(RtlUnicodeStringToInteger(&text, c.base, &value), c.status) << U8(c.text);
    EXPECT_EQ(value, c.value) << U8(c.text);
  }
  // The counted length ends the text, not a terminator.
  UNICODE_STRING cut = Counted(u"1234");
  cut.Length = 2 * sizeof(WCHAR);
  ULONG value = 0;
  EXPECT_EQ(RtlUnicodeStringToInteger(&cut, 10, &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 12u);
}

TEST_F(RtlStrings, PageableRoutinesAbovePassiveLevelAreReported) {
  const UNICODE_STRING a = Counted(u"a");
  UNICODE_STRING owned{2, 4, RtlAllocatedBuffer(4)};
  {
    RaisedIrql raised(DISPATCH_LEVEL);
    RtlEqualUnicodeString(&a, &a, TRUE);
    RtlFreeUnicodeString(&owned);
  }
  ExpectViolations({"irql-too-high", "irql-too-high"});
  // The free was refused, so the buffer is still the caller's to free.
  ASSERT_NE(owned.Buffer, nullptr);
  RtlFreeUnicodeString(&owned);
}

// A missing string, or one whose counts contradict each other, is refused
// before anything is read or written through it.
TEST_F(RtlStrings, MissingOrMalformedStringsAreReportedAndRefused) {
  RtlInitUnicodeString(nullptr, L"COM3");
  ExpectViolations({"bad-parameter"});

  Scratch destination(8, u"ab");
  const UNICODE_STRING source = Counted(u"xy");
  UNICODE_STRING overlong{6, 4, destination.string.Buffer};
  RtlCopyUnicodeString(&overlong, &source);
  const UNICODE_STRING noBuffer{0, 8, nullptr};
  EXPECT_EQ(RtlAppendUnicodeStringToString(&destination.string, &noBuffer), STATUS_INVALID_PARAMETER);
  ExpectViolations({"bad-unicode-string", "bad-unicode-string"});
  EXPECT_EQ(destination.Text(), u"ab");
  EXPECT_EQ(destination.chars[0], u'a') << "nothing was written";
}

// The emulation's own UTF-16 helpers, which every name and report goes
// through.
TEST(RtlStringsWide, LengthsAndCountedViews) {
  EXPECT_EQ(WideLength(L"COM12"), 5u);
  EXPECT_EQ(WideLength(L""), 0u);
  EXPECT_EQ(WideLength(nullptr), 0u);

  WCHAR text[] = L"COM12";
  const UNICODE_STRING odd{5, 12, text};
  EXPECT_EQ(View(odd), u"CO") << "a trailing odd byte is not a character";
  const UNICODE_STRING none{0, 0, nullptr};
  EXPECT_TRUE(ToU16(none).empty());
}

TEST(RtlStringsWide, Utf8RoundTripsEveryPlaneAndReplacesWhatIsNotText) {
  const std::u16string mixed = u"COM12 \u00e9\u20ac \U0001F600";
  EXPECT_EQ(ToUtf8(mixed), "COM12 \xC3\xA9\xE2\x82\xAC \xF0\x9F\x98\x80");
  EXPECT_EQ(FromUtf8(ToUtf8(mixed)), mixed);

  EXPECT_EQ(ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD") << "unpaired high surrogate";
  EXPECT_EQ(ToUtf8(std::u16string(1, char16_t(0xDC00)) + u"A"), "\xEF\xBF\xBD" "A") << "unpaired low surrogate";
  EXPECT_EQ(FromUtf8("\xC0\xAF"), u"\uFFFD") << "overlong form";
  EXPECT_EQ(FromUtf8("\xE2" "A"), u"\uFFFDA") << "the byte after a broken sequence is kept";
  EXPECT_EQ(FromUtf8("A\xE2\x82"), u"A\uFFFD") << "truncated sequence";
  EXPECT_EQ(FromUtf8("\xED\xA0\x80"), u"\uFFFD") << "encoded surrogate";
}

TEST(RtlStringsWide, CaseFoldingCoversAsciiLettersOnly) {
  EXPECT_TRUE(EqualsNoCase(u"\\DosDevices\\com12", u"\\DOSDEVICES\\COM12"));
  EXPECT_FALSE(EqualsNoCase(u"COM12", u"COM1"));
  EXPECT_FALSE(EqualsNoCase(u"[", u"{")) << "only letters fold";
  EXPECT_EQ(Upcase(u"vid_1a2b&pid_0c01"), u"VID_1A2B&PID_0C01");
}

}  // namespace
}  // namespace zt
