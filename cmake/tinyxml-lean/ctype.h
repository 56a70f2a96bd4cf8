/* TinyXML without its stream members.

   TinyXML declares stream input and output on every node (StreamIn,
   operator<< and operator>>) when TIXML_USE_STL is defined. StreamIn is
   virtual, so a program that creates any node links it, and with it the whole
   stream and locale library. Debian's tinyxml.h defines TIXML_USE_STL
   unconditionally and includes <ctype.h> right after. This header comes first
   on TinyXML's include path: it includes the C library's <ctype.h> and, only
   while tinyxml.h is between that definition and its first test of it
   (TINYXML_INCLUDED defined, TIXML_STRING not yet), takes the definition
   back. TinyXML's sources, and everything that includes tinyxml.h, then see
   the library as TinyXML builds it by default: TiXmlString, no streams.

   No include guard: every inclusion must reach the test below. */
#include_next <ctype.h>

#if defined(TINYXML_INCLUDED) && !defined(TIXML_STRING)
#undef TIXML_USE_STL
#endif
