# Private copies of the template prefix (sourced, not run).
#   qel_prefix_copy TEMPLATE WORKDIR
# The registry files and the small trees are real copies; the large DLL trees
# are hard links (Wine never rewrites them in place).
qel_prefix_copy() {
  local template=$1 work=$2 entry
  rm -rf "$work"
  mkdir -p "$work/drive_c/windows"
  cp -a "$template"/*.reg "$template/.update-timestamp" "$template/dosdevices" "$work/"
  for entry in "$template"/drive_c/*; do
    [ "$(basename "$entry")" = windows ] || cp -a "$entry" "$work/drive_c/"
  done
  for entry in "$template"/drive_c/windows/*; do
    case $(basename "$entry") in
      system32|syswow64|winsxs) cp -al "$entry" "$work/drive_c/windows/" ;;
      *) cp -a "$entry" "$work/drive_c/windows/" ;;
    esac
  done
}
