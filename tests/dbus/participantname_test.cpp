// The bus-name codec through which participants publish their application id and
// version, and the text checks that guard what goes on the bus.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "busaddress.h"
#include "endpointdirectory.h"
#include "ostrel_dbus/wire.h"
#include "participantname.h"

namespace {

using ostrel_dbus::ParticipantInfo;
using ostrel_dbus::ParticipantName;

// Bus-name rules for well-known names: at most 255 bytes, two or more dot-separated
// elements of [A-Za-z0-9_-], none empty, none starting with a digit.
bool isValidWellKnownName(const std::string& name) {
  if (name.empty() || name.size() > 255 || name[0] == ':') return false;
  size_t elements = 0;
  size_t start = 0;
  for (;;) {
    const size_t dot = name.find('.', start);
    const std::string element = name.substr(start, dot == std::string::npos ? dot : dot - start);
    if (element.empty() || (element[0] >= '0' && element[0] <= '9')) return false;
    for (const char c : element) {
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') return false;
    }
    ++elements;
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  return elements >= 2;
}

struct Texts {
  const char* label;
  std::string appId;
  std::string appVersion;
};

TEST(ParticipantName, OddTextsSurviveTheRoundTripAsValidBusNames) {
  const std::vector<Texts> cases = {
      {"plain", "QOVR", "2.1"},
      {"non-ASCII and spaces", "R\xC3\xA4.s t/n", "1.0-\xCE\xB2"},
      {"escape character itself", "a_b", "_41"},
      {"leading digits", "9lives", "9"},
      {"empty version", "RSTN", ""},
      {"punctuation", "!@#$%^&*()[]{}<>?/\\|`~'\";:,.-+=", ". .."},
      {"CJK", "\xE6\x97\xA5\xE6\x9C\xAC", "2024.1"},
      {"control bytes", "tab\there", "line\nbreak"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string name = ParticipantName::forParticipant(":1.42", c.appId, c.appVersion);
    EXPECT_TRUE(isValidWellKnownName(name)) << name;
    ParticipantInfo info;
    ASSERT_TRUE(ParticipantName::parse(name, &info)) << name;
    EXPECT_TRUE(info.detailsInName);
    EXPECT_EQ(info.uniqueName, ":1.42");
    EXPECT_EQ(info.appId, c.appId);
    EXPECT_EQ(info.appVersion, c.appVersion);
  }
}

TEST(ParticipantName, SameApplicationDiffersByConnection) {
  EXPECT_NE(ParticipantName::forParticipant(":1.7", "QOVR", "1"),
            ParticipantName::forParticipant(":1.8", "QOVR", "1"));
  // Version and application id cannot trade bytes and collide.
  EXPECT_NE(ParticipantName::forParticipant(":1.7", "a.b", "c"),
            ParticipantName::forParticipant(":1.7", "a", "b.c"));
}

TEST(ParticipantName, TextsTooLongForABusNameFallBackToTheShortForm) {
  // With the unique name ":1.42" and an empty version, 218 bytes of application id
  // make a name of exactly 255 bytes.
  const std::string fits(218, 'a');
  const std::string longer(219, 'a');
  const std::string fitsName = ParticipantName::forParticipant(":1.42", fits, "");
  EXPECT_EQ(fitsName.size(), 255u);
  ParticipantInfo info;
  ASSERT_TRUE(ParticipantName::parse(fitsName, &info));
  EXPECT_TRUE(info.detailsInName);
  EXPECT_EQ(info.appId, fits);

  for (const std::string& appId : {longer, std::string(5000, 'x'), std::string(100, '/')}) {
    const std::string name = ParticipantName::forParticipant(":1.42", appId, "1.0");
    EXPECT_TRUE(isValidWellKnownName(name)) << name;
    ASSERT_TRUE(ParticipantName::parse(name, &info)) << name;
    EXPECT_FALSE(info.detailsInName);
    EXPECT_EQ(info.uniqueName, ":1.42");
    EXPECT_TRUE(info.appId.empty());
  }
}

TEST(ParticipantName, ForeignAndMalformedNamesAreNotParticipants) {
  const std::string p = ostrel_dbus::wire::kParticipantPrefix;
  const std::vector<std::string> names = {
      "org.freedesktop.DBus",
      ":1.5",
      p,
      p + ".aX.vY",                  // no unique name
      p + ".aX.vY.u_3A1_2E5.extra",  // one element too many
      p + ".bX.vY.u_3A1_2E5",        // wrong tag
      p + ".aX.vY.u1_2E5",           // unique name without its colon
      p + ".a_4.vY.u_3A1_2E5",       // cut escape
      p + ".a_2e.vY.u_3A1_2E5",      // lower-case hex
      p + ".a_41.vY.u_3A1_2E5",      // escaped letter: a second spelling of "A"
      p + ".L.u_3A1_2E5.more",
      p + ".L_2E.u_3A1_2E5",    // a fallback token that is not letters and digits
      p + ".M12.u_3A1_2E5",     // a two-element form that is neither short nor fallback
      p + "X.aX.vY.u_3A1_2E5",  // a prefix that only starts the same
  };
  for (const auto& name : names) {
    ParticipantInfo info;
    EXPECT_FALSE(ParticipantName::parse(name, &info)) << name;
  }
}

TEST(ParticipantName, TheFallbackNameEncodesItsOwnerAndReadsLikeTheShortForm) {
  const std::string name = ParticipantName::fallbackForParticipant(":1.77", "0123456789ABCDEF");
  EXPECT_TRUE(isValidWellKnownName(name)) << name;
  EXPECT_NE(name, ParticipantName::forParticipant(":1.77", "APP", "1"));
  ParticipantInfo info;
  ASSERT_TRUE(ParticipantName::parse(name, &info));
  EXPECT_EQ(info.uniqueName, ":1.77");
  EXPECT_FALSE(info.detailsInName);
}

TEST(BusAddress, OnlyAddressesThatCanBeConnectedToAreUsable) {
  struct Case {
    const char* address;
    bool usable;
  };
  for (const Case& c : {
           Case{"unix:path=/run/user/1000/bus", true},
           Case{"unix:path=/tmp/x/bus,guid=0123456789abcdef0123456789abcdef", true},
           Case{"unix:abstract=/tmp/dbus-XYZ", true},
           Case{"unix:path=/tmp/a%20b", true},
           Case{"tcp:host=127.0.0.1,port=4000", true},
           Case{"unix:path=/nonexistent;unix:path=/tmp/x", true},
           Case{"unix:path=/tmp/x;", true},
           Case{"", false},
           Case{"nonsense", false},
           Case{"carrier:pigeon=1", false},
           Case{"unix:", false},
           Case{"unix:path=", false},
           Case{"unix:path=/a,abstract=b", false},
           Case{"unix:path=/a,path=/b", false},
           Case{"unix:path=/a b", false},
           Case{"unix:path=/a%2", false},
           Case{"tcp:host=127.0.0.1", false},
           Case{"unix:path=/tmp/x;nonsense", false},
       }) {
    EXPECT_EQ(ostrel_dbus::isUsableBusAddress(c.address), c.usable) << c.address;
  }
}

TEST(BusAddress, TheGuidIsDroppedAndTheRestKept) {
  EXPECT_EQ(ostrel_dbus::withoutGuid("unix:path=/tmp/x/bus,guid=0123abcd"), "unix:path=/tmp/x/bus");
  EXPECT_EQ(ostrel_dbus::withoutGuid("unix:guid=1,path=/a;tcp:host=h,port=1,guid=2"),
            "unix:path=/a;tcp:host=h,port=1");
  EXPECT_EQ(ostrel_dbus::withoutGuid("unix:path=/plain"), "unix:path=/plain");
}

TEST(UniqueNameOrder, SortsByConnectionNumber) {
  std::vector<std::string> names = {":1.10", ":1.9", ":1.100", ":2.1", ":1.2", ":1.09"};
  std::sort(names.begin(), names.end(), ostrel_dbus::UniqueNameOrder());
  EXPECT_EQ(names, (std::vector<std::string>{":1.2", ":1.09", ":1.9", ":1.10", ":1.100", ":2.1"}));
}

TEST(UniqueNameOrder, EdgeCasesKeepAStrictTotalOrder) {
  const ostrel_dbus::UniqueNameOrder less;
  struct Pair {
    const char* label;
    std::string first;
    std::string second;
  };
  // Each pair in the order the directory lists it.
  const std::vector<Pair> ordered = {
      {"numbers by value", ":1.9", ":1.10"},
      {"equal value, fewer leading zeros later", ":1.09", ":1.9"},
      {"zero against zeros: equal value, the plain text decides", ":1.0", ":1.00"},
      {"leading zeros do not make a number larger", ":1.0009", ":1.10"},
      {"numbers past 64 bits", ":1.99999999999999999999", ":1.100000000000000000000"},
      {"same long number, later element decides", ":1.123456789012345678901.2",
       ":1.123456789012345678901.10"},
      {"shorter name first when one is a prefix", ":1", ":1.0"},
      {"digit before a letter at the same place", ":1.5", ":1.a"},
      {"letters by text", ":1.a", ":1.b"},
      {"bytes above 0x7f after ASCII", ":1.a", ":1.\xC3\xA4"},
      {"empty first", "", ":1.0"},
  };
  for (const auto& p : ordered) {
    SCOPED_TRACE(p.label);
    EXPECT_TRUE(less(p.first, p.second));
    EXPECT_FALSE(less(p.second, p.first));
  }

  // Irreflexive, asymmetric and transitive over every name above, so that a map or a
  // sort keyed by it is sound.
  std::vector<std::string> names;
  for (const auto& p : ordered) {
    names.push_back(p.first);
    names.push_back(p.second);
  }
  for (const auto& a : names) {
    EXPECT_FALSE(less(a, a)) << a;
    for (const auto& b : names) {
      if (a == b) continue;
      EXPECT_NE(less(a, b), less(b, a)) << a << " / " << b;
      for (const auto& c : names) {
        if (less(a, b) && less(b, c)) {
          EXPECT_TRUE(less(a, c)) << a << " < " << b << " < " << c;
        }
      }
    }
  }
}

// The order written the obvious way: split both names into runs of digits and of other
// characters, compare numbers by value and the rest as text, fall back to the text.
bool referenceOrder(const std::string& a, const std::string& b) {
  const auto runs = [](const std::string& text) {
    std::vector<std::string> out;
    for (size_t i = 0; i < text.size();) {
      const bool digits = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
      size_t end = i;
      while (end < text.size() &&
             (std::isdigit(static_cast<unsigned char>(text[end])) != 0) == digits) {
        ++end;
      }
      out.push_back(text.substr(i, end - i));
      i = end;
    }
    return out;
  };
  const auto isNumber = [](const std::string& run) {
    return std::isdigit(static_cast<unsigned char>(run[0])) != 0;
  };
  const std::vector<std::string> runsA = runs(a);
  const std::vector<std::string> runsB = runs(b);
  for (size_t k = 0; k < runsA.size() && k < runsB.size(); ++k) {
    std::string x = runsA[k];
    std::string y = runsB[k];
    if (isNumber(x) && isNumber(y)) {
      x.erase(0, std::min(x.find_first_not_of('0'), x.size() - 1));
      y.erase(0, std::min(y.find_first_not_of('0'), y.size() - 1));
      if (x.size() != y.size()) return x.size() < y.size();
    }
    if (x != y) return x < y;
  }
  if (runsA.size() != runsB.size()) return runsA.size() < runsB.size();
  return a < b;
}

TEST(UniqueNameOrder, AgreesWithTheRunByRunOrderOnEveryShortName) {
  // Every name of up to three bytes from digits, zeros, separators, a letter and a byte
  // above 0x7f: every pair of them, against the order written the obvious way.
  const std::string alphabet = {'0', '1', '9', ':', '.', 'a', '\xff'};
  std::vector<std::string> names = {""};
  for (size_t from = 0, length = 1; length <= 3; ++length) {
    const size_t to = names.size();
    for (size_t n = from; n < to; ++n) {
      for (const char c : alphabet) names.push_back(names[n] + c);
    }
    from = to;
  }
  const ostrel_dbus::UniqueNameOrder less;
  size_t disagreements = 0;
  for (const auto& a : names) {
    for (const auto& b : names) {
      if (less(a, b) != referenceOrder(a, b) && ++disagreements <= 5) {
        ADD_FAILURE() << "\"" << a << "\" / \"" << b << "\"";
      }
    }
  }
  EXPECT_EQ(disagreements, 0u);
}

TEST(Utf8Check, AcceptsUtf8AndRejectsWhatDBusRejects) {
  struct Case {
    const char* label;
    std::string text;
    bool valid;
  };
  const std::vector<Case> cases = {
      {"ASCII", "QOVR 1.0", true},
      {"two-byte", "R\xC3\xA4", true},
      {"four-byte", "\xF0\x9F\x98\x80", true},
      {"embedded NUL", std::string("a\0b", 3), false},
      {"overlong NUL", "\xC0\x80", false},
      {"surrogate", "\xED\xA0\x80", false},
      {"cut sequence", "\xE2\x82", false},
      {"past U+10FFFF", "\xF4\x90\x80\x80", false},
      {"lone continuation", "\x80", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ostrel_dbus::wire::isValidUtf8(c.text), c.valid) << c.label;
  }
}

}  // namespace
