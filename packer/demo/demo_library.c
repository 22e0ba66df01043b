/* One of the demo tool's ten small libraries. The build compiles this file once per
   library, each under its own stem, so that every library exports functions named after
   it and the tool can only start when the launcher has unpacked all of them. */
#define DEMO_JOIN2(a, b) a##b
#define DEMO_JOIN(a, b) DEMO_JOIN2(a, b)
#define DEMO_TEXT2(a) #a
#define DEMO_TEXT(a) DEMO_TEXT2(a)

const char* DEMO_JOIN(DEMO_STEM, _name)(void);
unsigned DEMO_JOIN(DEMO_STEM, _mix)(unsigned hash, const char* text);

const char* DEMO_JOIN(DEMO_STEM, _name)(void) { return DEMO_TEXT(DEMO_STEM); }

/* One round of the fingerprint that the tool shows instead of an answer: FNV-1a over the
   library's name and then the text, so each library gives a round of its own. */
unsigned DEMO_JOIN(DEMO_STEM, _mix)(unsigned hash, const char* text) {
  const unsigned prime = 16777619u;
  for (const char* c = DEMO_TEXT(DEMO_STEM); *c != '\0'; ++c) hash = (hash ^ (unsigned char)*c) * prime;
  for (const char* c = text; *c != '\0'; ++c) hash = (hash ^ (unsigned char)*c) * prime;
  return hash;
}
