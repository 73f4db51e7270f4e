class Parvox
  # What write_entry's block writes an entry's data into: an IO-like sink
  # for IO.copy_stream, CSV.new, Zlib::GzipWriter.new and the like. Its
  # write, <<, close and closed? are native; what IO builds on write is here.
  class EntryWriter
    # call-seq: io.print(object, ...) -> nil
    def print(*objects)
      objects = [$_] if objects.empty?
      write(objects.join(*[$,].compact))
      write($\) if $\
      nil
    end

    # call-seq: io.puts(object, ...) -> nil
    #
    # Each object and each element of an Array on a line of its own, as IO#puts.
    def puts(*objects)
      return write("\n") && nil if objects.empty?
      objects.flatten.each do |object|
        line = object.nil? ? "" : object.to_s
        write(line.end_with?("\n") ? line : "#{line}\n")
      end
      nil
    end

    # call-seq: io.printf(format, object, ...) -> nil
    def printf(format, *objects)
      write(Kernel.format(format, *objects))
      nil
    end

    # call-seq: io.flush -> io
    #
    # The data goes to the archive as it comes: nothing waits to be flushed.
    def flush
      self
    end

    def sync
      true
    end

    def sync=(value); end

    def binmode
      self
    end

    def binmode?
      true
    end
  end
end
