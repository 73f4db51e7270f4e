require "fileutils"

# Folder trees for the tests, described as { "a/b.txt" => "content",
# "empty/" => nil }: a name ending in "/" is an empty folder.
module TreeFiles
  module_function

  def write(root, files)
    files.each do |name, content|
      target = File.join(root, name)
      if name.end_with?("/")
        FileUtils.mkdir_p(target)
      else
        FileUtils.mkdir_p(File.dirname(target))
        File.binwrite(target, content)
      end
    end
    root
  end

  # Every file (with its bytes) and folder beneath `root`, by relative path.
  def read(root)
    Dir.glob("**/*", File::FNM_DOTMATCH, base: root).reject { |p| File.basename(p) == "." }
       .sort.map { |rel| full = File.join(root, rel); [rel, File.directory?(full) ? :dir : File.binread(full)] }
  end
end
