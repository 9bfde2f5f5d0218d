[Playlist]
Version=2
File10=http://s10.example/a
File2=/relative/two.aac
file1 = rel/one.mp3
FILE3=//cdn.example/three
FileX=http://bad.example/
NumberOfEntries=4
