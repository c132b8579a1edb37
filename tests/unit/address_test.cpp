// Address extraction, one row per shape of header value.
#include "message/address.h"

#include <gtest/gtest.h>

namespace sendal {
namespace {

TEST(ExtractAddress, Table) {
    struct Row {
        const char *value, *want;
    } rows[] = {
        {"Display Name <box.one>", "box.one"},
        {"box.one (Display Name)", "box.one"},
        {"<box.one> (Display Name)", "box.one"},
        {"box.one", "box.one"},
        {"  box.one   ", "box.one"},
        {"< box.one >", "box.one"},
        {"Display Name <box.one", "box.one"},
        {"box.one>", "box.one>"},
        {"Name <first.box> <second.box>", "first.box"},
        {"Name (home) <box.one>", "Name"},
        {"(Name) box.one", ""},
        {"<box(x).one>", "box"},
        {"<>", ""},
        {"", ""},
        {"    ", ""},
        {"\"Name\" <box.one>", "box.one"},
        {"\"box.one\"", "\"box.one\""},
        {"\tbox.one", "\tbox.one"},
        {"Box.One", "Box.One"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(ExtractAddress(row.value), row.want) << "value \"" << row.value << "\"";
}

}  // namespace
}  // namespace sendal
