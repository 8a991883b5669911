// PUT and DELETE: any method name goes to Method, sent as written; a body comes with
// any of them.
#include <iostream>

#include "korvo/korvo.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string base = argv[1];

  korvo::ClientSession session;
  auto put = korvo::RequestBuilder()
                 .Method("PUT")
                 .Url(base + "/put")
                 .Body(R"({"name": "korvo", "stars": 5})")
                 .MediaType("application/json")
                 ();
  auto replaced = session.Send(put);

  auto removed = session.Send(korvo::RequestBuilder().Method("DELETE").Url(base + "/delete")());
  std::cout << "PUT " << replaced->GetStatus() << ", DELETE " << removed->GetStatus() << "\n";

  // httpbin answers each method only on its own path, and echoes the JSON it was given.
  bool ok = replaced->GetStatus() == 200 && removed->GetStatus() == 200 &&
            replaced->GetData().find("\"json\":{\"name\":\"korvo\"") != std::string::npos;
  return ok ? 0 : 1;
}
