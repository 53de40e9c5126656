#pragma once
// The frame of the benchmarks' generated books: a description, a variables file and an empty
// pages folder that the caller fills with content of its own shape.

#include "mfs/u_MFS.h"

namespace BenchBook {

inline TMFSSession& DescribeBook(TMFS& content) {
  TMFSSession& session = content.Session();
  session.CreateFile("\\System.xml", 0, false)
      ->SetContent("<System Variables=\"\\Variables.xml\" ApplicationTitle=\"%{Title}\"/>");
  session.CreateFile("\\Variables.xml", 0, false)
      ->SetContent("<vars><var name=\"Title\">Big Book</var>"
                   "<var name=\"Author\">A. Writer</var></vars>");
  session.ForceFolders("\\pages");
  return session;
}

} // namespace BenchBook
