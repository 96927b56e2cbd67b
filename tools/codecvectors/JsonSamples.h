// Samples of the JSON the gateway writes for each translated ident: bodies
// the game server might send (random records, with each kind of actor and
// with every optional part both present and absent) run through the
// gateway's own converters, for checking the client's type declarations.
#pragma once

#include <cstdint>

#include <boost/json/object.hpp>

// Ident name -> array of JSON texts, for every JSON row of the convert
// table. Uses the installed codec tables.
boost::json::object JsonSamples(uint64_t seed);
