[playlist]
numberofentries=3
File1=http://stream.radio-one.example:8000/live
Title1=(#1 - 12/500) Radio One Hamburg
Length1=-1
File2=http://backup.radio-one.example:8010/live
Title2=(#2 - 3/500) Radio One Hamburg
Length2=-1
File3=http://87.230.101.12:80/radioone-128.mp3
Title3=Radio One (128k)
Length3=-1
Version=2
