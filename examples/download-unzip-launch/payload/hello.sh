# The program inside the zip: leaves a file in its working folder to show that it ran.
echo "launched from the zip" > launched.txt
