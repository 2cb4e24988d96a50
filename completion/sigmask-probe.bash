# SPDX-License-Identifier: MIT
# bash completion for sigmask-probe, sigmask-probe-check and sigmask-probe-image.

# sigmask-probe takes no arguments at all.
_sigmask_probe()
{
	COMPREPLY=()
}

_sigmask_probe_check()
{
	local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
	local check=${COMP_WORDS[0]} i
	COMPREPLY=()
	case $prev in
	-o | --only | --explain)
		COMPREPLY=($(compgen -W "$("$check" --list 2>/dev/null | cut -d' ' -f1)" -- "$cur"))
		return
		;;
	-k | --known)
		# The package's files by name, and files.
		local bin
		bin=$(dirname "$(command -v "$check")")
		COMPREPLY=($(compgen -W "$(ls "$bin/../share/sigmask-probe/known" 2>/dev/null)" -- "$cur")
			$(compgen -f -- "$cur"))
		return
		;;
	-w | --witness | --report)
		COMPREPLY=($(compgen -f -- "$cur"))
		return
		;;
	-t | --timeout | -j | --jobs)
		return
		;;
	esac
	# Past the options, the words are a command of its own.
	for ((i = 1; i < COMP_CWORD; i++)); do
		case ${COMP_WORDS[i]} in
		-o | --only | --explain | -k | --known | -w | --witness | --report | -t | --timeout | -j | --jobs)
			((i++))
			;;
		--)
			((i++))
			break
			;;
		-*) ;;
		*) break ;;
		esac
	done
	if ((i < COMP_CWORD)) && declare -F _command_offset >/dev/null; then
		_command_offset "$i"
		return
	fi
	if ((i == COMP_CWORD)) && [[ $cur == -* ]]; then
		COMPREPLY=($(compgen -W "-l --list -o --only -t --timeout -j --jobs -k --known
			-w --witness --explain --report --init -h --help --version" -- "$cur"))
		return
	fi
	COMPREPLY=($(compgen -c -- "$cur"))
}

_sigmask_probe_image()
{
	local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
	case $prev in
	-o | --output)
		COMPREPLY=($(compgen -f -- "$cur"))
		;;
	--bin | --sysroot)
		COMPREPLY=($(compgen -d -- "$cur"))
		;;
	*)
		COMPREPLY=($(compgen -W "-o --output --bin --sysroot -h --help" -- "$cur"))
		;;
	esac
}

complete -F _sigmask_probe sigmask-probe
complete -F _sigmask_probe_check sigmask-probe-check
complete -F _sigmask_probe_image sigmask-probe-image
