#include "channel/standard_codec.h"

#include <gtest/gtest.h>
#include <cmath>
#include <cstring>
#include <random>

#include "runtime/utf8.h"

using namespace lumivane;

namespace {

Bytes hex(const std::string& text) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < text.size();) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        out.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return out;
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes ascii(const std::string& text) { return Bytes(text.begin(), text.end()); }

}  // namespace

TEST(StandardCodec, GoldenVectors) {
    double pi = M_PI;
    Bytes piBytes(8);
    std::memcpy(piBytes.data(), &pi, 8);
    struct Case {
        const char* name;
        EncodableValue value;
        Bytes expected;
    } cases[] = {
        {"int32", EncodableValue(std::int32_t{0x12345678}), hex("03 78 56 34 12")},
        {"int64", EncodableValue(std::int64_t{0x1234567890abcdef}), hex("04 ef cd ab 90 78 56 34 12")},
        {"pi", EncodableValue(pi), concat(hex("06 00 00 00 00 00 00 00"), piBytes)},
        {"utf8", EncodableValue("h\u263aw"), hex("07 05 68 e2 98 ba 77")},
        {"int32 max from 64 bits", EncodableValue(std::int64_t{2147483647}), hex("03 ff ff ff 7f")},
        {"2^31 from 64 bits", EncodableValue(std::int64_t{2147483648}), hex("04 00 00 00 80 00 00 00 00")},
        {"empty int32 list", EncodableValue(std::vector<std::int32_t>{}), hex("09 00 00 00")},
        {"true", EncodableValue(true), hex("01")},
        {"empty list", EncodableValue(EncodableList{}), hex("0c 00")},
        {"map", EncodableValue(EncodableMap{{"a", 1}}), hex("0d 01 07 01 61 03 01 00 00 00")},
        {"float64 list aligned after size", EncodableValue(std::vector<double>{0.0}),
         hex("0b 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00")},
        {"null is zero bytes", EncodableValue(), Bytes{}},
        {"int32 min", EncodableValue(std::int32_t{INT32_MIN}), hex("03 00 00 00 80")},
        {"int32 min from 64 bits", EncodableValue(std::int64_t{INT32_MIN}), hex("03 00 00 00 80")},
        {"-2^31 - 1 from 64 bits", EncodableValue(std::int64_t{INT32_MIN} - 1), hex("04 ff ff ff 7f ff ff ff ff")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(StandardMessageCodec::encodeMessage(c.value), c.expected);
        auto decoded = StandardMessageCodec::decodeMessage(c.expected);
        ASSERT_TRUE(decoded);
        if (auto* i64 = c.value.get<std::int64_t>())
            EXPECT_EQ(decoded->integer(), *i64);
        else
            EXPECT_EQ(*decoded, c.value);
    }
}

TEST(StandardCodec, SizePrefixesOfLongByteLists) {
    auto short253 = StandardMessageCodec::encodeMessage(Bytes(253, 7));
    EXPECT_EQ(Bytes(short253.begin(), short253.begin() + 2), hex("08 fd"));
    auto short254 = StandardMessageCodec::encodeMessage(Bytes(254, 7));
    EXPECT_EQ(Bytes(short254.begin(), short254.begin() + 4), hex("08 fe fe 00"));
    auto short65535 = StandardMessageCodec::encodeMessage(Bytes(65535, 7));
    EXPECT_EQ(Bytes(short65535.begin(), short65535.begin() + 4), hex("08 fe ff ff"));
    EXPECT_EQ(StandardMessageCodec::decodeMessage(short65535)->get<Bytes>()->size(), 65535u);
    auto long65536 = StandardMessageCodec::encodeMessage(Bytes(65536, 7));
    EXPECT_EQ(Bytes(long65536.begin(), long65536.begin() + 6), hex("08 ff 00 00 01 00"));
    EXPECT_EQ(long65536.size(), 6u + 65536u);
}

TEST(StandardMethodCodec, GoldenEnvelopesAndCalls) {
    EXPECT_EQ(StandardMethodCodec::encodeSuccessEnvelope(EncodableValue()), hex("00 00"));
    EXPECT_EQ(StandardMethodCodec::encodeSuccessEnvelope(42), hex("00 03 2a 00 00 00"));
    EXPECT_EQ(StandardMethodCodec::encodeErrorEnvelope("errorCode"),
              concat(concat(hex("01 07 09"), ascii("errorCode")), hex("00 00")));
    // Alignment counts from the start of the buffer, the method name included:
    // "ab" takes 4 bytes, the double's tag 1, so 3 bytes of padding follow.
    auto call = StandardMethodCodec::encodeMethodCall(MethodCall{"ab", 1.5});
    EXPECT_EQ(Bytes(call.begin(), call.begin() + 8), hex("07 02 61 62 06 00 00 00"));
    auto back = StandardMethodCodec::decodeMethodCall(call.data(), call.size());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->method, "ab");
    EXPECT_EQ(back->arguments, EncodableValue(1.5));

    auto error = StandardMethodCodec::encodeErrorEnvelope("iphone", "The iPhone is locked.", 7);
    auto decoded = StandardMethodCodec::decodeEnvelope(error.data(), error.size());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(std::get<MethodError>(*decoded), (MethodError{"iphone", "The iPhone is locked.", 7}));
    EXPECT_TRUE(std::holds_alternative<NotImplemented>(*StandardMethodCodec::decodeEnvelope(nullptr, 0)));
}

TEST(StandardMethodCodec, ASuccessEnvelopeAlignsItsDoublesFromTheStartOfTheEnvelope) {
    double pi = M_PI;
    Bytes piBytes(8);
    std::memcpy(piBytes.data(), &pi, 8);
    struct Case {
        const char* name;
        Bytes envelope;
        EncodableValue value;
    } cases[] = {
        // The status byte counts: the double's tag sits at 1, so 6 bytes pad it to 8.
        {"a double", concat(hex("00 06 00 00 00 00 00 00"), piBytes), EncodableValue(pi)},
        // Tag at 1, size at 2: 5 bytes pad the elements to 8.
        {"a float64 list", concat(hex("00 0b 01 00 00 00 00 00"), piBytes), EncodableValue(std::vector<double>{pi})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(StandardMethodCodec::encodeSuccessEnvelope(c.value), c.envelope);
        auto decoded = StandardMethodCodec::decodeEnvelope(c.envelope.data(), c.envelope.size());
        ASSERT_TRUE(decoded);
        EXPECT_EQ(std::get<EncodableValue>(*decoded), c.value);
    }
}

TEST(StandardCodec, ANaNWithPaddingThatIsNotZeroComesBackAsTheSameNaN) {
    // Found by the codec fuzz target: padding bytes are not checked, and a NaN
    // must keep its bits through a decode and an encode.
    auto bytes = hex("06 39 ff ff ff ff ff ff ff ff ff 02 00 20 ff ff");
    auto decoded = StandardMessageCodec::decodeMessage(bytes);
    ASSERT_TRUE(decoded);
    EXPECT_TRUE(std::isnan(*decoded->get<double>()));
    auto again = StandardMessageCodec::encodeMessage(*decoded);
    EXPECT_EQ(again, concat(hex("06 00 00 00 00 00 00 00"), Bytes(bytes.begin() + 8, bytes.end())));
}

TEST(StandardCodec, NumbersDecodeToOneFormSoDecodingIsAFixedPoint) {
    // A map whose keys are int32 0 and int64 0: one key, the later value.
    auto bytes = hex("0d 02 03 00 00 00 00 07 01 61 04 00 00 00 00 00 00 00 00 07 01 62");
    auto decoded = StandardMessageCodec::decodeMessage(bytes);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, EncodableValue(EncodableMap{{std::int32_t{0}, "b"}}));
    auto again = StandardMessageCodec::decodeMessage(StandardMessageCodec::encodeMessage(*decoded));
    ASSERT_TRUE(again);
    EXPECT_EQ(*again, *decoded);
}

namespace {

EncodableValue randomValue(std::mt19937& rng, int depth) {
    std::uniform_int_distribution<int> kind(0, depth > 4 ? 11 : 13);
    std::uniform_int_distribution<int> small(0, 300);
    switch (kind(rng)) {
        case 0: return EncodableValue();
        case 1: return EncodableValue(rng() % 2 == 0);
        case 2: return EncodableValue(static_cast<std::int32_t>(rng()));
        // int64 outside the int32 range, so that it decodes as int64 again
        case 3: return EncodableValue(static_cast<std::int64_t>((std::uint64_t(rng()) << 32) | 0x80000000u));
        case 4: return EncodableValue(std::uniform_real_distribution<double>(-1e9, 1e9)(rng));
        case 5: return EncodableValue(std::string(small(rng), 'x'));
        case 6: return EncodableValue(Bytes(small(rng), 0xab));
        case 7: return EncodableValue(std::vector<std::int32_t>(small(rng) % 7, -5));
        case 8: return EncodableValue(std::vector<std::int64_t>(small(rng) % 7, 1LL << 40));
        case 9: return EncodableValue(std::vector<double>(small(rng) % 7, 0.25));
        case 10: return EncodableValue(std::vector<float>(small(rng) % 7, 0.5f));
        case 11: return EncodableValue(std::string("h\u263aw"));
        case 12: {
            EncodableList list;
            for (int i = small(rng) % 6; i > 0; --i) list.push_back(randomValue(rng, depth + 1));
            return list;
        }
        default: {
            EncodableMap map;
            for (int i = small(rng) % 6; i > 0; --i)
                map.set(EncodableValue("k" + std::to_string(small(rng))), randomValue(rng, depth + 1));
            return map;
        }
    }
}

}  // namespace

TEST(StandardCodec, RandomNestedValuesRoundTripAtEveryOffset) {
    std::mt19937 rng(20261207);
    for (int round = 0; round < 400; ++round) {
        auto value = randomValue(rng, 0);
        // Prefixing a method name shifts alignment: the value must survive at
        // every starting offset.
        std::string name(static_cast<std::size_t>(round % 9), 'm');
        auto bytes = StandardMethodCodec::encodeMethodCall(MethodCall{name, value});
        auto back = StandardMethodCodec::decodeMethodCall(bytes.data(), bytes.size());
        ASSERT_TRUE(back) << back.error().message;
        ASSERT_EQ(back->arguments, value) << "round " << round;
    }
}

TEST(StandardCodec, HostileInputIsAnErrorNeverACrash) {
    Bytes deep;
    for (int i = 0; i < 513; ++i) deep.insert(deep.end(), {0x0c, 0x01});
    deep.push_back(0x00);
    Bytes shallow;
    for (int i = 0; i < 512; ++i) shallow.insert(shallow.end(), {0x0c, 0x01});
    shallow.push_back(0x00);
    struct Case {
        const char* name;
        Bytes bytes;
    } cases[] = {
        {"truncated int32", hex("03 01 02")},
        {"truncated double padding", hex("06 00 00")},
        {"string size past the end", hex("07 05 61 62")},
        {"uint32 size past the end", hex("08 ff ff ff ff 7f 00")},
        {"huge list declared, few bytes", hex("0c ff ff ff ff ff 00")},
        {"huge map declared", hex("0d ff 00 00 00 10 00 00")},
        {"huge int64 list", hex("0a ff ff ff ff 0f 00 00 00")},
        {"unknown tag", hex("0f")},
        {"retired big-integer tag", hex("05 01 31")},
        {"trailing bytes", hex("00 00")},
        {"truncated size prefix", hex("07 fe 01")},
        {"nesting deeper than 512", deep},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto decoded = StandardMessageCodec::decodeMessage(c.bytes);
        ASSERT_FALSE(decoded);
        EXPECT_EQ(decoded.error().code, Error::Code::badInput);
        EXPECT_FALSE(decoded.error().message.empty());
    }
    EXPECT_TRUE(StandardMessageCodec::decodeMessage(shallow)) << "512 levels are allowed";

    // A list of nulls costs one byte a value on the wire and far more decoded.
    auto nulls = [](std::uint32_t count) {
        Bytes list = hex("0c ff");
        for (int i = 0; i < 4; ++i) list.push_back(static_cast<std::uint8_t>(count >> (8 * i)));
        list.resize(list.size() + count, 0x00);
        return list;
    };
    EXPECT_TRUE(StandardMessageCodec::decodeMessage(nulls(StandardMessageCodec::kMaxValues - 1)));  // with the list
    auto tooMany = StandardMessageCodec::decodeMessage(nulls(StandardMessageCodec::kMaxValues));
    ASSERT_FALSE(tooMany);
    EXPECT_NE(tooMany.error().message.find("too many values"), std::string::npos) << tooMany.error().message;

    // Method calls and envelopes refuse what the value decoder refuses, and more.
    auto refuses = [](const Bytes& b) { return !StandardMethodCodec::decodeMethodCall(b.data(), b.size()); };
    EXPECT_TRUE(refuses(hex("03 01 00 00 00")));  // name not a string
    EXPECT_TRUE(refuses(hex("07 01 61 00 00")));  // trailing after arguments
    EXPECT_TRUE(refuses(Bytes{}));                // nothing at all
    auto badEnvelope = [](const Bytes& b) { return !StandardMethodCodec::decodeEnvelope(b.data(), b.size()); };
    EXPECT_TRUE(badEnvelope(hex("02 00")));                    // unknown envelope kind
    EXPECT_TRUE(badEnvelope(hex("01 03 01 00 00 00 00 00")));  // code not a string
}

TEST(StandardCodec, EveryTruncationOfAValidMessageIsRefused) {
    EncodableMap map{{"path", "/DCIM/100APPLE/IMG_0001.HEIC"},
                     {"size", std::int64_t{1} << 40},
                     {"frame", std::vector<double>{1, 2}},
                     {"bytes", Bytes(300, 1)}};
    auto bytes = StandardMessageCodec::encodeMessage(EncodableValue(EncodableList{map, map}));
    for (std::size_t cut = 1; cut < bytes.size(); ++cut)
        EXPECT_FALSE(StandardMessageCodec::decodeMessage(bytes.data(), cut)) << "cut at " << cut;
}

TEST(StandardCodec, NamesThatAreNotUtf8TravelAsUtf8AndComeBackAsTheSameBytes) {
    struct Case {
        const char* name;
        std::string raw, wire;  // as held in the process, as sent
    };
    const Case cases[] = {
        {"UTF-8 stays as it is", "IMG_\xC3\xA9.JPG", "IMG_\xC3\xA9.JPG"},
        {"Latin-1", "IMG_\xE9.JPG", "IMG_\xEF\x9F\xA9.JPG"},
        {"the highest byte", "\xFF", "\xEF\x9F\xBF"},
        {"the lowest stray byte", "\x80", "\xEF\x9E\x80"},
        {"a cut sequence", "a\xE2\x82", "a\xEF\x9F\xA2\xEF\x9E\x82"},
        {"a surrogate's bytes", "\xED\xA0\x80", "\xEF\x9F\xAD\xEF\x9E\xA0\xEF\x9E\x80"},
        {"an overlong slash", "\xC0\xAF", "\xEF\x9F\x80\xEF\x9E\xAF"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(wireText(c.raw), c.wire);
        EXPECT_TRUE(isValidUtf8(c.wire));
        EXPECT_EQ(rawText(c.wire), c.raw);
        auto encoded = StandardMessageCodec::encodeMessage(EncodableValue(c.raw));
        auto text = std::string(encoded.begin() + 2, encoded.end());  // past the tag and the one-byte size
        EXPECT_EQ(text, c.wire);
        EXPECT_EQ(StandardMessageCodec::decodeMessage(encoded), EncodableValue(c.raw));
    }
}
