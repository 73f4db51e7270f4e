Gem::Specification.new do |spec|
  spec.name = "parvox"
  spec.version = "1.0.0"
  spec.summary = "Write and extract zip archives (deflate, AES-256) from Ruby"
  spec.description = "A native extension with one class, Parvox, that zips files and whole " \
                     "folder trees, optionally with a password (WinZip AES-256), and extracts " \
                     "them again on every core, safely on hostile archives."
  spec.authors = ["Parvox developers"]
  spec.license = "MIT"
  # Tested: Ruby 2.7 (script/ruby27), 3.1 (rake test) and 3.4 (script/ruby34) on
  # Linux; 2.7, 3.3 and 3.4 on Windows (script/windows; CI runs 2.7 and 3.4).
  # The C API it uses is Ruby 2.7's and checked against 4.0's
  # (docs/development.md#ruby-versions).
  spec.required_ruby_version = ">= 2.7"
  # The source gem. The precompiled ones are this specification with their
  # platform, their Rubies and their parvox.so files in place of the sources
  # (script/linux-gem: x86_64-linux; script/windows: x64-mingw32,
  # x64-mingw-ucrt).
  spec.platform = Gem::Platform::RUBY
  spec.files = Dir["lib/**/*.rb", "ext/*.{rb,cpp,h}", "archive/**/*.{cpp,h}", "fsutil/*.{cpp,h}", "README.md", "LICENSE"]
  spec.extensions = ["ext/extconf.rb"]
  spec.require_paths = ["lib"]
end
