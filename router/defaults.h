#pragma once
// Constant tables of the router: the address-book aliases registered in public mode and the
// reseed servers tried in public mode when no bootstrap source was given.
#include <array>
#include <string_view>
#include <utility>

namespace router {

inline constexpr std::array<std::pair<std::string_view, std::string_view>, 8> default_public_b32_aliases = {{
    {"i2p-projekt.i2p", "udhdrtrcetjm5sxzskjyr5ztpeszydbh4dpl3pl4utgqqw2v4jna.b32.i2p"},
    {"stats.i2p", "7tbay5p4kzeekxvyvbf6v7eauazemsnnl2aoyqhg5jzpr5eke7tq.b32.i2p"},
    {"reg.i2p", "shx5vqsw7usdaunyzr2qmes2fq37oumybpudrd4jjj4e4vk4uusa.b32.i2p"},
    {"notbob.i2p", "nytzrhrjjfsutowojvxi7hphesskpqqr65wpistz6wyorekpxwfa.b32.i2p"},
    {"zzz.i2p", "ukeu3k5oycgaauneqgtnvselmt4yemvoilkln7jpvamvfx7dnkdq.b32.i2p"},
    {"forum.i2p", "tmipbl5d7ctnz3cib4yd2yivlrssrtpmuuzyqdpqkelzmnqllhda.b32.i2p"},
    {"tracker2.postman.i2p", "6a4kxkg5wp33p25qqhgwl6sj4yh4xuf5b3p3qldwgclebchm3eea.b32.i2p"},
    {"tracker.dg2.i2p", "w7tpbzncbcocrqtwwm3nezhnnsw4ozadvi2hmvzdhrqzfxfum7wa.b32.i2p"},
}};

inline constexpr std::array<std::string_view, 4> default_reseed_urls = {
    "https://reseed.i2pgit.org/i2pseeds.su3",
    "https://reseed2.i2p.net/i2pseeds.su3",
    "https://i2p.novg.net/i2pseeds.su3",
    "https://reseed.diva.exchange/i2pseeds.su3",
};

}  // namespace router
