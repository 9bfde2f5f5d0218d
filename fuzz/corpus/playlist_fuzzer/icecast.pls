[playlist]
NumberOfEntries=1
File1=https://icecast.sender.example/mp3-192/stream
Title1=Sender Classic
Length1=-1
Version=2
