// Asio and Beast compiled once for the whole hub (BOOST_ASIO_SEPARATE_COMPILATION and
// BOOST_BEAST_SEPARATE_COMPILATION are set for every file), which keeps each file that uses them fast to build.
#include <boost/asio/impl/src.hpp>
#include <boost/beast/src.hpp>
#include <boost/asio/ssl/impl/src.hpp>
