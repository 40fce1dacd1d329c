# The program inside the zip: leaves a file beside itself to show that it ran.
cd "$(dirname "$0")" || exit 1
echo "launched from the zip" > launched.txt
