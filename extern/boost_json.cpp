// Separate compilation of Boost.JSON for the whole project.
#include <boost/json/src.hpp>
