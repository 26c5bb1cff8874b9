#pragma once
// Constant tables of the router: the address-book aliases registered in public mode and the
// reseed servers tried in public mode when no bootstrap source was given.
#include <array>
#include <string_view>
#include <utility>

namespace router {

// Well-known sites and BitTorrent trackers of the public I2P network, as public address
// books and tracker lists name them.
inline constexpr std::array<std::pair<std::string_view, std::string_view>, 8> default_public_b32_aliases = {{
    {"tracker2.postman.i2p", "6a4kxkg5wp33p25qqhgwl6sj4yh4xuf5b3p3qldwgclebchm3eea.b32.i2p"},
    {"opentracker.dg2.i2p", "w7tpbzncbcocrqtwwm3nezhnnsw4ozadvi2hmvzdhrqzfxfum7wa.b32.i2p"},
    {"opentracker.skank.i2p", "by7luzwhx733fhc5ug2o75dcaunblq2ztlshzd7qvptaoa73nqua.b32.i2p"},
    {"opentracker.r4sas.i2p", "punzipidirfqspstvzpj6gb4tkuykqp6quurj6e23bgxcxhdoe7q.b32.i2p"},
    {"opentracker.simp.i2p", "wc4sciqgkceddn6twerzkfod6p2npm733p7z3zwsjfzhc4yulita.b32.i2p"},
    {"torrfreedom.i2p", "nfrjvknwcw47itotkzmk6mdlxmxfxsxhbhlr5ozhlsuavcogv4hq.b32.i2p"},
    {"zzz.i2p", "lhbd7ojcaiofbfku7ixh47qj537g572zmhdc4oilvugzxdpdghua.b32.i2p"},
    {"psi.i2p", "avviiexdngd32ccoy4kuckvc3mkf53ycvzbz6vz75vzhv4tbpk5a.b32.i2p"},
}};

inline constexpr std::array<std::string_view, 4> default_reseed_urls = {
    "https://reseed.i2pgit.org/i2pseeds.su3",
    "https://reseed2.i2p.net/i2pseeds.su3",
    "https://i2p.novg.net/i2pseeds.su3",
    "https://reseed.diva.exchange/i2pseeds.su3",
};

}  // namespace router
